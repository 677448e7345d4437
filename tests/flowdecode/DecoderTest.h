#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Doubles.h"
#include "ScratchDirectory.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV9.h"
#include "support/GlobalSettings.h"

// Every decoder test runs in a fresh directory of its own, with services of its own: no template
// known, exception reports written into that directory, tones recorded and not played, a fixed clock.
class DecoderTest : public ScratchDirectoryTest {
  protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        Rig_ = std::make_unique<doubles::DecoderRig>(Dir());
        // For the cases that go through the signatures without services.
        netflowlib::ResetTemplateStore();
        brix32::GlobalSettings.ExceptionFileTemplate = "Exception-Netflow-{timestamp}.xml";
    }

    void TearDown() override {
        Rig_.reset();
        netflowlib::ResetTemplateStore();
        ScratchDirectoryTest::TearDown();
    }

    doubles::DecoderRig& Rig() { return *Rig_; }
    netflowlib::tTemplateFlowsetFormat& Last() { return Rig_->Templates.LastTemplate(); }
    // Forgets every template the test's store holds.
    void ForgetTemplates() { Rig_->Templates.Clear(); }

    // The exception reports written so far, by file name.
    std::vector<std::string> Reports() const {
        std::vector<std::string> Names;
        for (const auto& Entry : std::filesystem::directory_iterator(Dir())) {
            const std::string sName = Entry.path().filename().string();
            if (sName.rfind("Exception-Netflow-", 0) == 0) Names.push_back(sName);
        }
        return Names;
    }

    // The text of one element of an exception report; "" for an empty or missing one.
    static std::string ReportElement(const std::string& sXml, const std::string& sName) {
        const std::string sOpen = "<" + sName + ">";
        const auto iStart = sXml.find(sOpen);
        if (iStart == std::string::npos) return "";
        const auto iEnd = sXml.find("</" + sName + ">", iStart);
        return iEnd == std::string::npos ? "" : sXml.substr(iStart + sOpen.size(), iEnd - iStart - sOpen.size());
    }

    // One datagram through DecodeHeader and DecodeV9Packet, the way the datagram handler calls them.
    // The sink is NextSink, fault and all, used once.
    struct tV9Result {
        int Slots = 0;
        netflowlib::tV9Outcome Outcome;
        netflowlib::tNetflowV9Records Records;
        doubles::FaultingSink Sink;
        netflowlib::tNetflowHeader Header;
    };
    tV9Result DecodeV9(const std::string& sPacket, const std::string& sSender = "192.0.2.1", bool bTrace = true) {
        tV9Result R;
        R.Records = FreshV9Slots();
        R.Sink = NextSink;
        NextSink = doubles::FaultingSink{};
        const netflowlib::tDecodeServices Services{R.Sink, Rig_->Reporter, Rig_->Templates, Rig_->Clock, Rig_->Bounds};
        netflowlib::DecodeHeader(sPacket, R.Header, Services);
        R.Outcome = netflowlib::DecodeV9Packet("", sSender, sPacket, R.Header, bTrace, R.Records, Services);
        R.Slots = R.Outcome.SlotsReached;
        return R;
    }

    static netflowlib::tNetflowV9Records FreshV9Slots() {
        return netflowlib::tNetflowV9Records(netflowlib::kV9InitialSlots);
    }

    doubles::FaultingSink NextSink;

  private:
    std::unique_ptr<doubles::DecoderRig> Rig_;
};
