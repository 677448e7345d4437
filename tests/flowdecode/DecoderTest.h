#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/ExceptionReport.h"
#include "support/GlobalSettings.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV9.h"
#include "RecordingSink.h"
#include "support/Tones.h"
#include "ScratchDirectory.h"

// Every decoder test runs in a fresh directory of its own, with no template known, no fault armed,
// exception reports written into that directory and no tones played.
class DecoderTest : public ScratchDirectoryTest {
protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        netflowlib::ResetTemplateStore();
        brix32::testing::DisarmStepFault();
        brix32::testing::SetReportDirectoryForTesting(Dir());
        brix32::testing::SetTonesEnabledForTesting(false);
        brix32::GlobalSettings.ExceptionFileTemplate = "Exception-Netflow-{timestamp}.xml";
    }

    void TearDown() override {
        brix32::testing::DisarmStepFault();
        brix32::testing::SetReportDirectoryForTesting("");
        netflowlib::ResetTemplateStore();
        ScratchDirectoryTest::TearDown();
    }

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
    struct tV9Result {
        int Slots = 0;
        netflowlib::tNetflowV9Records Records;
        RecordingSink Sink;
        netflowlib::tNetflowHeader Header;
    };
    static tV9Result DecodeV9(const std::string& sPacket, const std::string& sSender = "192.0.2.1",
                              bool bTrace = true) {
        tV9Result R;
        R.Records = FreshV9Slots();
        netflowlib::DecodeHeader(sPacket, R.Header);
        R.Slots = netflowlib::DecodeV9Packet("", sSender, sPacket, R.Header, bTrace, R.Records, R.Sink);
        return R;
    }

    static netflowlib::tNetflowV9Records FreshV9Slots() { return netflowlib::tNetflowV9Records(netflowlib::kV9InitialSlots); }
};
