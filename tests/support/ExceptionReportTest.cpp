#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <pugixml.hpp>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Doubles.h"
#include "ScratchDirectory.h"
#include "SeamDoubles.h"
#include "support/DateTime.h"
#include "support/ExceptionReport.h"
#include "support/GlobalSettings.h"
#include "support/ProgramFacts.h"
#include "support/Tones.h"

namespace reporttest {
// A thrown type of our own, to see the namespace survive in the class name.
struct tDecodeFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};
}  // namespace reporttest

namespace {

using namespace brix32;

const char* const kCollectorTemplate = "Exception-Netflow-{timestamp}.xml";
const char* const kStamp = "20240106140304005";

TDateTime FixedNow() { return EncodeDateTime({2024, 1, 6, 14, 3, 4, 5}); }

class ExceptionReportTest : public ScratchDirectoryTest {
  protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        SavedSettings_ = GlobalSettings;
        GlobalSettings = tGlobalSettings{};
        GlobalSettings.Version = "1.2.3.4";
        GlobalSettings.ExceptionFileTemplate = kCollectorTemplate;
        sDirectory_ = Dir();
    }

    void TearDown() override {
        GlobalSettings = SavedSettings_;
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

    // The report into the scratch directory (or the one set), at the fixed time, tones recorded.
    std::string Save(const tExceptionRec& rec) { return SaveExceptionRecAsXML(rec, sDirectory_, Clock, Tones); }

    FakeClock Clock{FixedNow()};
    doubles::RecordingTones Tones;
    std::string sDirectory_;

  private:
    tGlobalSettings SavedSettings_;
};

TEST_F(ExceptionReportTest, WritesTheTwelveElementsInOrderAndSoundsTheTones) {
    const std::string name = Save(SampleRec());
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

    EXPECT_EQ(Tones.Tones, ReportTones());
    EXPECT_FALSE(Exists("Exception.txt"));
}

TEST_F(ExceptionReportTest, TextsReadBackUnchanged) {
    tExceptionRec rec = SampleRec();
    rec.Message = "a < b && c > d \"q\" 'x' ]]> &amp;";
    rec.Trace = -7;
    rec.Notes = "";
    rec.Beep = false;
    auto children = ReadReport(Save(rec));
    ASSERT_EQ(children.size(), 12u);
    EXPECT_EQ(children[8].second, rec.Message);
    EXPECT_EQ(children[5].second, "-7");
    EXPECT_EQ(children[11].second, "");
    EXPECT_TRUE(Tones.Tones.empty());

    rec.Trace = INT32_MIN;
    // Bytes that are not UTF-8, and characters XML cannot hold, still give a well-formed document
    // with the whole text: a stray byte reads as Latin-1, a control character as U+FFFD.
    rec.Message = std::string("caf\xE9 \xC3\xA9 \x01|\0|\tend", 16);
    children = ReadReport(Save(rec));
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
        const std::string name = Save(rec);
        EXPECT_EQ(name, Dir() + c.Expected) << "template \"" << c.Template << "\"";
        EXPECT_TRUE(Exists(name)) << name;
    }
    EXPECT_FALSE(Exists("Exception.txt"));
}

TEST_F(ExceptionReportTest, FixedNameIsOverwritten) {
    tExceptionRec rec = SampleRec();
    rec.FileNameTemplate = "same.xml";
    rec.Message = "a much longer first message, so that leftovers of it would show";
    Save(rec);
    rec.Message = "second";
    const std::string name = Save(rec);
    EXPECT_EQ(ReadReport(name).at(8).second, "second");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir()), std::filesystem::directory_iterator{}), 1);
}

TEST_F(ExceptionReportTest, ProgramDirectoryByDefault) {
    sDirectory_.clear();
    tExceptionRec rec = SampleRec();
    rec.FileNameTemplate = "support-tests-default-dir-{timestamp}.xml";
    const std::string name = Save(rec);
    const std::string expected = GetProgramPath("") + "support-tests-default-dir-" + kStamp + ".xml";
    const bool saved = std::filesystem::remove(name);
    EXPECT_EQ(name, expected);
    EXPECT_TRUE(saved);
}

TEST_F(ExceptionReportTest, FailedSaveLeavesOneLineWithTheBuiltName) {
    WriteFile("afile", "not a directory");
    sDirectory_ = Dir() + "afile/";
    const std::string name = Save(SampleRec());
    EXPECT_EQ(name, Dir() + "afile/Exception-Netflow-" + kStamp + ".xml");

    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], LogLine(420, std::string("Cannot create the report file: ") + std::strerror(ENOTDIR), name));
    EXPECT_TRUE(Tones.Tones.empty());

    // A second failure adds its own line.
    Save(SampleRec());
    EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(ExceptionReportTest, FullDiskIsAFailedSave) {
    // A file size limit fails a regular file's write part-way as a full disk does; set in a child so
    // that it goes with it. The report is made longer than the limit, the fallback line is not.
    tExceptionRec rec = SampleRec();
    rec.Notes = std::string(4000, 'n');
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1024, 1024};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(2);
        Save(rec);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string name = Dir() + "Exception-Netflow-" + kStamp + ".xml";
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], LogLine(420, std::string("Cannot write the report file: ") + std::strerror(EFBIG), name));
}

// Reports land in the data folder, where others may plant names: nothing under the report's name
// or the fallback log's is followed or waited for, and the refusal is a failed save.
TEST_F(ExceptionReportTest, PlantedLinksFifosAndDevicesAreRefused) {
    const std::string name = Dir() + "Exception-Netflow-" + kStamp + ".xml";
    std::filesystem::create_directory("outside");
    WriteFile("outside/victim.txt", "untouched");
    ASSERT_EQ(::symlink("outside/victim.txt", name.c_str()), 0);
    EXPECT_EQ(Save(SampleRec()), name);
    EXPECT_EQ(ReadFile("outside/victim.txt"), "untouched");
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], LogLine(420, std::string("Cannot create the report file: ") + std::strerror(ELOOP), name));
    EXPECT_TRUE(Tones.Tones.empty());

    std::filesystem::remove(name);
    ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
    ::alarm(20);  // a regression would block in open()
    Save(SampleRec());
    ::alarm(0);
    lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], LogLine(420, "Cannot create the report file: Not a regular file", name));

    if (Exists("/dev/full")) {
        sDirectory_ = "/dev/";
        tExceptionRec rec = SampleRec();
        rec.FileNameTemplate = "full";
        EXPECT_EQ(Save(rec), "/dev/full");
        EXPECT_EQ(LogLines().back(), LogLine(420, "Cannot create the report file: Not a regular file", "/dev/full"));
    }

    std::filesystem::remove("Exception.txt");
    ASSERT_EQ(::symlink("outside/victim.txt", "Exception.txt"), 0);
    EXPECT_FALSE(AppendLogLine("text", "Exception.txt", Clock));
    EXPECT_EQ(ReadFile("outside/victim.txt"), "untouched");
}

TEST_F(ExceptionReportTest, FailureAtAnyStepNamesItsMilestone) {
    // The clock is read for "DateTime" (step 300 in force) and for the file name (380); the tones
    // come once the report is saved (460).
    const std::string fullName = Dir() + "Exception-Netflow-" + kStamp + ".xml";
    struct {
        std::int32_t Step;
        int ClockCall;
        bool bTones;
        std::string ExpectedName;
    } const cases[] = {{300, 1, false, ""}, {380, 2, false, ""}, {460, 0, true, fullName}};
    for (const auto& c : cases) {
        std::filesystem::remove("Exception.txt");
        std::filesystem::remove(fullName);
        Clock.Readings = 0;
        Clock.ThrowOnReading = c.ClockCall;
        Clock.Message = Tones.Message = "line one\r\nline two";
        Tones.bThrow = c.bTones;
        const std::string name = Save(SampleRec());
        EXPECT_EQ(name, c.ExpectedName) << "step " << c.Step;
        const std::vector<std::string> lines = LogLines();
        // The message's line break is kept, so the entry spans two lines.
        ASSERT_EQ(lines.size(), 2u) << "step " << c.Step;
        EXPECT_EQ(lines[0] + "\r\n" + lines[1], LogLine(c.Step, "line one\r\nline two", c.ExpectedName));
        // Only a failure after saving leaves the report behind.
        EXPECT_EQ(Exists(fullName), c.Step == 460) << "step " << c.Step;
    }
    EXPECT_TRUE(Tones.Tones.empty());
}

TEST_F(ExceptionReportTest, ReportTextIsTheSavedDocument) {
    const std::string name = Save(SampleRec());
    EXPECT_EQ(ExceptionReportText(SampleRec(), Clock), ReadFile(name));
    Clock.Readings = 0;
    Clock.ThrowOnReading = 1;
    EXPECT_THROW(ExceptionReportText(SampleRec(), Clock), std::runtime_error) << "a fault in building shows";
}

TEST_F(ExceptionReportTest, AppendLogLineRules) {
    EXPECT_TRUE(AppendLogLine("first", "log.txt", Clock));
    EXPECT_TRUE(AppendLogLine("second", "log.txt", Clock));
    // Short date and long time of the C locale.
    EXPECT_EQ(ReadFile("log.txt"), "01/06/24 14:03:04: first\r\n01/06/24 14:03:04: second\r\n");

    Clock.Time = EncodeDateTime({2024, 1, 7, 0, 0, 0, 0});
    EXPECT_TRUE(AppendLogLine("at midnight", "midnight.txt", Clock));
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

class TracedOperationTest : public ExceptionReportTest {
  protected:
    void SetUp() override {
        ExceptionReportTest::SetUp();
        Reporter_ = std::make_unique<XmlFileReporter>(Dir(), Clock, Tones);
    }
    XmlFileReporter& Reporter() { return *Reporter_; }

  private:
    std::unique_ptr<XmlFileReporter> Reporter_;
};

TEST_F(TracedOperationTest, ThrowingBodyIsReportedWithItsStep) {
    GlobalSettings.ExceptionFileTemplate = "";
    tLogRec LogRec("NetFlowLib.DecodeV9Packet");
    tExceptionRec rec;
    const bool ok = RunTracedOperation(
        "NetFlowLib.DecodeV9Packet", LogRec, rec,
        [&] {
            LogRec.Step(100);
            rec.Notes = "iPtr=41";
            LogRec.Step(230);
            throw reporttest::tDecodeFault("flowset length 3 < 4 & short");
        },
        Reporter());
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
    EXPECT_EQ(Tones.Tones.size(), 4u);
}

TEST_F(TracedOperationTest, QuietBodyAndForeignThrows) {
    tLogRec LogRec("TForm1.UDPServerUDPRead");
    tExceptionRec rec;
    EXPECT_TRUE(RunTracedOperation(
        "TForm1.UDPServerUDPRead", LogRec, rec, [&] { LogRec.Step(100); }, Reporter()));
    EXPECT_EQ(rec.Function, "");
    EXPECT_TRUE(std::filesystem::is_empty(Dir()));

    EXPECT_FALSE(RunTracedOperation(
        "TForm1.UDPServerUDPRead", LogRec, rec, [] { throw 42; }, Reporter()));
    EXPECT_EQ(rec.ClassName, "int");
    EXPECT_EQ(rec.Message, "unknown exception");
    EXPECT_EQ(rec.Trace, 100);
    EXPECT_TRUE(Exists(Dir() + "Exception-Netflow-" + kStamp + ".xml"));
}

struct tCancelProbe {
    ExceptionReporter* Reporter = nullptr;
    std::atomic<bool> Entered{false};
    bool Unwound = false;
    bool Returned = false;
};

void* RunCancelledOperation(void* Arg) {
    tCancelProbe& probe = *static_cast<tCancelProbe*>(Arg);
    struct tOnUnwind {
        bool& Flag;
        ~tOnUnwind() { Flag = true; }
    };
    tLogRec LogRec("TForm1.UDPServerUDPRead");
    tExceptionRec rec;
    RunTraced(
        "TForm1.UDPServerUDPRead", LogRec, rec,
        [&] {
            const tOnUnwind mark{probe.Unwound};
            probe.Entered = true;
            for (;;) ::pause();
        },
        *probe.Reporter);
    probe.Returned = true;
    return nullptr;
}

// Cancelling a thread unwinds it with an exception of the runtime's own, which must go on through:
// taken for a failure, it would be reported and the process aborted.
TEST_F(TracedOperationTest, ThreadCancellationIsLetThrough) {
    doubles::RecordingReporter recorder;
    tCancelProbe probe;
    probe.Reporter = &recorder;
    pthread_t thread;
    ASSERT_EQ(::pthread_create(&thread, nullptr, RunCancelledOperation, &probe), 0);
    while (!probe.Entered) ::usleep(1000);
    ASSERT_EQ(::pthread_cancel(thread), 0);
    void* result = nullptr;
    ASSERT_EQ(::pthread_join(thread, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_TRUE(probe.Unwound);
    EXPECT_FALSE(probe.Returned);
    EXPECT_TRUE(recorder.Records.empty());
}

TEST_F(TracedOperationTest, ClassNameIsTheDynamicType) {
    const reporttest::tDecodeFault fault("x");
    const std::exception& asBase = fault;
    EXPECT_EQ(ExceptionClassName(asBase), "reporttest::tDecodeFault");
    EXPECT_EQ(ExceptionClassName(std::invalid_argument("y")), "std::invalid_argument");
}

TEST_F(TracedOperationTest, WithoutAReporterTheInstalledDefaultReports) {
    doubles::RecordingReporter recorder;
    InstallDefaultExceptionReporter(&recorder);
    tLogRec LogRec("NetFlowLib.DecodeHeader");
    tExceptionRec rec;
    RunTracedOperation("NetFlowLib.DecodeHeader", LogRec, rec, [&] {
        LogRec.Step(320);
        throw std::runtime_error("header fault");
    });
    InstallDefaultExceptionReporter(nullptr);
    ASSERT_EQ(recorder.Records.size(), 1u);
    EXPECT_EQ(recorder.Records[0].Function, "NetFlowLib.DecodeHeader");
    EXPECT_EQ(recorder.Records[0].Trace, 320);
    EXPECT_EQ(recorder.Records[0].Message, "header fault");
    EXPECT_EQ(recorder.Records[0].Notes, "");
    EXPECT_EQ(&DefaultExceptionReporter(), &DefaultExceptionReporter()) << "the built-in one is back";
    EXPECT_NE(&DefaultExceptionReporter(), static_cast<ExceptionReporter*>(&recorder));
}

}  // namespace
