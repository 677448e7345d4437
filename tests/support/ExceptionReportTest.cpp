#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <pugixml.hpp>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/DateTime.h"
#include "support/ExceptionReport.h"
#include "support/GlobalSettings.h"
#include "support/ProgramFacts.h"
#include "ScratchDirectory.h"
#include "support/Tones.h"

namespace reporttest {
// A thrown type of our own, to see the namespace survive in the class name.
struct tDecodeFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};
}  // namespace reporttest

namespace {

using namespace brix32;
namespace seam = brix32::testing;

const char* const kCollectorTemplate = "Exception-Netflow-{timestamp}.xml";
const char* const kStamp = "20240106140304005";

TDateTime FixedNow() { return EncodeDateTime({2024, 1, 6, 14, 3, 4, 5}); }

class ExceptionReportTest : public ScratchDirectoryTest {
  protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        fSavedSettings = GlobalSettings;
        GlobalSettings = tGlobalSettings{};
        GlobalSettings.Version = "1.2.3.4";
        GlobalSettings.ExceptionFileTemplate = kCollectorTemplate;
        seam::SetReportDirectoryForTesting(Dir());
        seam::SetTonesEnabledForTesting(false);
        seam::ClearRequestedTonesForTesting();
        SetClockForTesting(FixedNow);
    }

    void TearDown() override {
        SetClockForTesting({});
        seam::DisarmStepFault();
        seam::SetReportDirectoryForTesting("");
        seam::ClearRequestedTonesForTesting();
        GlobalSettings = fSavedSettings;
        ScratchDirectoryTest::TearDown();
    }

    static tExceptionRec SampleRec() {
        tExceptionRec rec;
        rec.Function = "NetFlowLib.DecodeV9Packet";
        rec.ClassName = "std::out_of_range";
        rec.Message = "read past the end";
        rec.Trace = 540;
        rec.Notes = "iPtr=25";
        rec.FileNameTemplate = kCollectorTemplate;
        rec.Beep = true;
        return rec;
    }

    // The "Exception" element's children as (name, text) pairs, after checking the frame around them.
    static std::vector<std::pair<std::string, std::string>> ReadReport(const std::string& sFileName) {
        pugi::xml_document doc;
        const pugi::xml_parse_result parsed =
            doc.load_file(sFileName.c_str(), pugi::parse_default, pugi::encoding_utf8);
        EXPECT_TRUE(parsed) << parsed.description();
        std::vector<std::pair<std::string, std::string>> children;
        const pugi::xml_node root = doc.document_element();
        EXPECT_STREQ(root.name(), "xml");
        EXPECT_EQ(std::distance(doc.begin(), doc.end()), 1) << "only the root at document level";
        EXPECT_EQ(std::distance(root.begin(), root.end()), 1);
        const pugi::xml_node exception = root.first_child();
        EXPECT_STREQ(exception.name(), "Exception");
        for (const pugi::xml_node child : exception.children()) {
            EXPECT_EQ(child.type(), pugi::node_element);
            EXPECT_FALSE(child.first_attribute());
            EXPECT_FALSE(child.first_child().next_sibling()) << child.name() << " holds more than its text";
            children.emplace_back(child.name(), child.text().get());
        }
        return children;
    }

    // Lines of the fallback log, each without its CR LF.
    static std::vector<std::string> LogLines() {
        const std::string text = ReadFile("Exception.txt");
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
            lines.push_back(text.substr(start, end - start));
        }
        EXPECT_EQ(start, text.size()) << "text after the last line end";
        return lines;
    }

    static std::string LogLine(std::int32_t Step, const std::string& sMessage, const std::string& sFileName) {
        return DateTimeText(FixedNow()) + ": brix32.SaveExceptionRecAsXML LogRec.Trace=" + std::to_string(Step) +
               " E.Message=" + sMessage + " sFileName=" + sFileName + " ";
    }

  private:
    tGlobalSettings fSavedSettings;
};

TEST_F(ExceptionReportTest, WritesTheTwelveElementsInOrderAndSoundsTheTones) {
    const std::string name = SaveExceptionRecAsXML(SampleRec());
    ASSERT_EQ(name, Dir() + "Exception-Netflow-" + kStamp + ".xml");

    const auto children = ReadReport(name);
    const std::vector<std::string> names = {"DateTime",  "MachineUpTime",   "SelfName", "Version",
                                            "Function",  "Trace",           "HostName", "ClassName",
                                            "e.Message", "CallingFunction", "SQL",      "Notes"};
    ASSERT_EQ(children.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(children[i].first, names[i]) << "element " << i + 1;
    EXPECT_EQ(children[0].second, "2024-01-06 14:03:04");
    EXPECT_TRUE(std::regex_match(children[1].second, std::regex("[0-7]w[0-6]d[0-9]+h[0-9]+m[0-9]+s")))
        << children[1].second;
    EXPECT_EQ(children[2].second, "");
    EXPECT_EQ(children[3].second, "1.2.3.4");
    EXPECT_EQ(children[4].second, "NetFlowLib.DecodeV9Packet");
    EXPECT_EQ(children[5].second, "540");
    EXPECT_EQ(children[6].second, "");
    EXPECT_EQ(children[7].second, "std::out_of_range");
    EXPECT_EQ(children[8].second, "read past the end");
    EXPECT_EQ(children[9].second, "");
    EXPECT_EQ(children[10].second, "");
    EXPECT_EQ(children[11].second, "iPtr=25");

    // No declaration, no indentation, no line breaks between elements.
    const std::string raw = ReadFile(name);
    EXPECT_EQ(raw.rfind("<xml><Exception><DateTime>2024-01-06 14:03:04</DateTime><MachineUpTime>", 0), 0u) << raw;
    EXPECT_EQ(raw.find('\n'), std::string::npos);

    EXPECT_EQ(seam::RequestedTonesForTesting(), ReportTones());
    EXPECT_FALSE(Exists("Exception.txt"));
}

TEST_F(ExceptionReportTest, TextsReadBackUnchanged) {
    tExceptionRec rec = SampleRec();
    rec.Message = "a < b && c > d \"q\" 'x' ]]> &amp;";
    rec.Trace = -7;
    rec.Notes = "";
    rec.Beep = false;
    auto children = ReadReport(SaveExceptionRecAsXML(rec));
    ASSERT_EQ(children.size(), 12u);
    EXPECT_EQ(children[8].second, rec.Message);
    EXPECT_EQ(children[5].second, "-7");
    EXPECT_EQ(children[11].second, "");
    EXPECT_TRUE(seam::RequestedTonesForTesting().empty());

    rec.Trace = INT32_MIN;
    // Bytes that are not UTF-8, and characters XML cannot hold, still give a well-formed document
    // with the whole text: a stray byte reads as Latin-1, a control character as U+FFFD.
    rec.Message = std::string("caf\xE9 \xC3\xA9 \x01|\0|\tend", 16);
    children = ReadReport(SaveExceptionRecAsXML(rec));
    ASSERT_EQ(children.size(), 12u);
    EXPECT_EQ(children[5].second, "-2147483648");
    EXPECT_EQ(children[8].second, "caf\xC3\xA9 \xC3\xA9 \xEF\xBF\xBD|\xEF\xBF\xBD|\tend");
}

TEST_F(ExceptionReportTest, FileNameFromTemplate) {
    struct {
        const char* Template;
        std::string Expected;
    } const cases[] = {
        {kCollectorTemplate, std::string("Exception-Netflow-") + kStamp + ".xml"},
        {"", std::string("EXCEPTION-") + kStamp + ".XML"},
        {"report.xml", "report.xml"},
        {"{timestamp}-{timestamp}.xml", std::string(kStamp) + "-{timestamp}.xml"},
        {"R-{TIMESTAMP}.xml", "R-{TIMESTAMP}.xml"},
        {"R-{Timestamp}-{timestamp}", std::string("R-{Timestamp}-") + kStamp},
    };
    for (const auto& c : cases) {
        tExceptionRec rec = SampleRec();
        rec.FileNameTemplate = c.Template;
        const std::string name = SaveExceptionRecAsXML(rec);
        EXPECT_EQ(name, Dir() + c.Expected) << "template \"" << c.Template << "\"";
        EXPECT_TRUE(Exists(name)) << name;
    }
    EXPECT_FALSE(Exists("Exception.txt"));
}

TEST_F(ExceptionReportTest, FixedNameIsOverwritten) {
    tExceptionRec rec = SampleRec();
    rec.FileNameTemplate = "same.xml";
    rec.Message = "a much longer first message, so that leftovers of it would show";
    SaveExceptionRecAsXML(rec);
    rec.Message = "second";
    const std::string name = SaveExceptionRecAsXML(rec);
    EXPECT_EQ(ReadReport(name).at(8).second, "second");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir()), std::filesystem::directory_iterator{}), 1);
}

TEST_F(ExceptionReportTest, ProgramDirectoryByDefault) {
    seam::SetReportDirectoryForTesting("");
    tExceptionRec rec = SampleRec();
    rec.FileNameTemplate = "support-tests-default-dir-{timestamp}.xml";
    const std::string name = SaveExceptionRecAsXML(rec);
    const std::string expected = GetProgramPath("") + "support-tests-default-dir-" + kStamp + ".xml";
    const bool saved = std::filesystem::remove(name);
    EXPECT_EQ(name, expected);
    EXPECT_TRUE(saved);
}

TEST_F(ExceptionReportTest, FailedSaveLeavesOneLineWithTheBuiltName) {
    WriteFile("afile", "not a directory");
    seam::SetReportDirectoryForTesting(Dir() + "afile/");
    const std::string name = SaveExceptionRecAsXML(SampleRec());
    EXPECT_EQ(name, Dir() + "afile/Exception-Netflow-" + kStamp + ".xml");

    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], LogLine(420, std::string("Cannot create the report file: ") + std::strerror(ENOTDIR), name));
    EXPECT_TRUE(seam::RequestedTonesForTesting().empty());

    // A second failure adds its own line.
    SaveExceptionRecAsXML(SampleRec());
    EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(ExceptionReportTest, FullDiskIsAFailedSave) {
    if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    seam::SetReportDirectoryForTesting("/dev/");
    tExceptionRec rec = SampleRec();
    rec.FileNameTemplate = "full";
    EXPECT_EQ(SaveExceptionRecAsXML(rec), "/dev/full");
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              LogLine(420, std::string("Cannot write the report file: ") + std::strerror(ENOSPC), "/dev/full"));
}

TEST_F(ExceptionReportTest, FailureAtAnyStepNamesItsMilestone) {
    const std::string fullName = Dir() + "Exception-Netflow-" + kStamp + ".xml";
    struct {
        std::int32_t Step;
        std::string ExpectedName;
    } const cases[] = {{100, ""}, {230, ""}, {335, ""}, {360, ""}, {380, ""}, {420, fullName}, {460, fullName}};
    for (const auto& c : cases) {
        std::filesystem::remove("Exception.txt");
        std::filesystem::remove(fullName);
        seam::ArmStepFault("brix32.SaveExceptionRecAsXML", c.Step, "line one\r\nline two");
        const std::string name = SaveExceptionRecAsXML(SampleRec());
        EXPECT_EQ(name, c.ExpectedName) << "step " << c.Step;
        const std::vector<std::string> lines = LogLines();
        // The message's line break is kept, so the entry spans two lines.
        ASSERT_EQ(lines.size(), 2u) << "step " << c.Step;
        EXPECT_EQ(lines[0] + "\r\n" + lines[1], LogLine(c.Step, "line one\r\nline two", c.ExpectedName));
        // Only a failure after saving leaves the report behind.
        EXPECT_EQ(Exists(fullName), c.Step == 460) << "step " << c.Step;
    }
    EXPECT_TRUE(seam::RequestedTonesForTesting().empty());
}

TEST_F(ExceptionReportTest, AppendLogLineRules) {
    EXPECT_TRUE(AppendLogLine("first", "log.txt"));
    EXPECT_TRUE(AppendLogLine("second", "log.txt"));
    // Short date and long time of the C locale.
    EXPECT_EQ(ReadFile("log.txt"), "01/06/24 14:03:04: first\r\n01/06/24 14:03:04: second\r\n");

    SetClockForTesting([] { return EncodeDateTime({2024, 1, 7, 0, 0, 0, 0}); });
    EXPECT_TRUE(AppendLogLine("at midnight", "midnight.txt"));
    EXPECT_EQ(ReadFile("midnight.txt"), "01/07/24: at midnight\r\n");

    EXPECT_TRUE(AppendLogLine("", "log.txt"));
    EXPECT_FALSE(Exists("log.txt"));
    EXPECT_TRUE(AppendLogLine("", "log.txt"));

    WriteFile("afile", "x");
    EXPECT_FALSE(AppendLogLine("text", "afile/log.txt"));
    if (Exists("/dev/full")) {
        EXPECT_FALSE(AppendLogLine("text", "/dev/full"));
    }
}

class TracedOperationTest : public ExceptionReportTest {};

TEST_F(TracedOperationTest, ThrowingBodyIsReportedWithItsStep) {
    GlobalSettings.ExceptionFileTemplate = "";
    tLogRec LogRec("NetFlowLib.DecodeV9Packet");
    tExceptionRec rec;
    const bool ok = RunTracedOperation("NetFlowLib.DecodeV9Packet", LogRec, rec, [&] {
        LogRec.Step(100);
        rec.Notes = "iPtr=41";
        LogRec.Step(230);
        throw reporttest::tDecodeFault("flowset length 3 < 4 & short");
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(rec.Function, "NetFlowLib.DecodeV9Packet");
    EXPECT_EQ(rec.ClassName, "reporttest::tDecodeFault");
    EXPECT_EQ(rec.Message, "flowset length 3 < 4 & short");
    EXPECT_EQ(rec.Trace, 230);
    EXPECT_TRUE(rec.Beep);
    EXPECT_EQ(rec.FileNameTemplate, "");
    EXPECT_EQ(rec.Notes, "iPtr=41");

    const auto children = ReadReport(Dir() + "EXCEPTION-" + kStamp + ".XML");
    ASSERT_EQ(children.size(), 12u);
    EXPECT_EQ(children[4].second, "NetFlowLib.DecodeV9Packet");
    EXPECT_EQ(children[5].second, "230");
    EXPECT_EQ(children[7].second, "reporttest::tDecodeFault");
    EXPECT_EQ(children[8].second, "flowset length 3 < 4 & short");
    EXPECT_EQ(children[11].second, "iPtr=41");
    EXPECT_EQ(seam::RequestedTonesForTesting().size(), 4u);
}

TEST_F(TracedOperationTest, QuietBodyAndForeignThrows) {
    tLogRec LogRec("TForm1.UDPServerUDPRead");
    tExceptionRec rec;
    EXPECT_TRUE(RunTracedOperation("TForm1.UDPServerUDPRead", LogRec, rec, [&] { LogRec.Step(100); }));
    EXPECT_EQ(rec.Function, "");
    EXPECT_TRUE(std::filesystem::is_empty(Dir()));

    EXPECT_FALSE(RunTracedOperation("TForm1.UDPServerUDPRead", LogRec, rec, [] { throw 42; }));
    EXPECT_EQ(rec.ClassName, "int");
    EXPECT_EQ(rec.Message, "unknown exception");
    EXPECT_EQ(rec.Trace, 100);
    EXPECT_TRUE(Exists(Dir() + "Exception-Netflow-" + kStamp + ".xml"));
}

TEST_F(TracedOperationTest, ClassNameIsTheDynamicType) {
    const reporttest::tDecodeFault fault("x");
    const std::exception& asBase = fault;
    EXPECT_EQ(ExceptionClassName(asBase), "reporttest::tDecodeFault");
    EXPECT_EQ(ExceptionClassName(std::invalid_argument("y")), "std::invalid_argument");
}

TEST_F(TracedOperationTest, StepFaultHitsOnlyTheArmedOperationAndStep) {
    auto run = [](const char* Function) {
        tLogRec LogRec(Function);
        tExceptionRec rec;
        RunTracedOperation(Function, LogRec, rec, [&] {
            for (std::int32_t step : {100, 200, 300, 400}) LogRec.Step(step);
        });
        return rec;
    };
    seam::ArmStepFault("NetFlowLib.DecodeHeader", 300, "armed");
    const tExceptionRec hit = run("NetFlowLib.DecodeHeader");
    EXPECT_EQ(hit.Trace, 300);
    EXPECT_EQ(hit.Message, "armed");
    EXPECT_EQ(hit.ClassName, "std::runtime_error");
    EXPECT_EQ(run("NetFlowLib.DecodeV9Packet").Function, "") << "another operation is not hit";

    seam::ArmStepFault("NetFlowLib.DecodeHeader", 350);
    EXPECT_EQ(run("NetFlowLib.DecodeHeader").Function, "") << "a step never reached";

    seam::DisarmStepFault();
    EXPECT_EQ(run("NetFlowLib.DecodeHeader").Function, "");
}

}  // namespace
