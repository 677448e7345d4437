#include "support/ExceptionReport.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <pugixml.hpp>
#include <stdexcept>
#include <typeinfo>
#include <utility>

#include "support/DateTime.h"
#include "support/GlobalSettings.h"
#include "support/ProgramFacts.h"
#include "support/TextFiles.h"
#include "support/Tones.h"

namespace brix32 {

namespace {

constexpr const char* kReportOwner = "brix32.SaveExceptionRecAsXML";
constexpr const char* kPlaceholder = "{timestamp}";

std::string ReportDirectory(const std::string& sDirectory) {
    return sDirectory.empty() ? GetProgramPath("") : sDirectory;
}

// "YYYY-MM-DD HH:MM:SS"
std::string ReportDateTimeText(TDateTime Value) {
    const tDateTimeParts p = DecodeDateTime(Value);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", p.Year, p.Month, p.Day, p.Hour, p.Minute,
                  p.Second);
    return buffer;
}

// "yyyymmddhhnnsszzz", 17 digits.
std::string TimestampText(TDateTime Value) {
    const tDateTimeParts p = DecodeDateTime(Value);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d%02d%02d%02d%02d%02d%03d", p.Year, p.Month, p.Day, p.Hour, p.Minute,
                  p.Second, p.MilliSecond);
    return buffer;
}

std::string ReportFileName(const std::string& sTemplate, const std::string& sDirectory, const std::string& sStamp) {
    if (sTemplate.empty()) return sDirectory + "EXCEPTION-" + sStamp + ".XML";
    std::string name = sTemplate;
    const std::size_t at = name.find(kPlaceholder);
    if (at != std::string::npos) name.replace(at, std::strlen(kPlaceholder), sStamp);
    return sDirectory + name;
}

// The record's texts are byte strings, while a report must stay readable by any XML parser. Bytes
// that do not form well-formed UTF-8 are taken as Latin-1; characters XML 1.0 cannot hold at all
// (C0 controls other than tab, line feed and carriage return, and U+FFFE/U+FFFF) become U+FFFD.
std::string XmlText(const std::string& sText) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(sText.size());
    const std::size_t n = sText.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(sText[i]);
        std::size_t len = 0;
        std::uint32_t min = 0;
        if (c < 0x80) {
            len = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4, min = 0x10000;
        }
        bool valid = len > 0 && i + len <= n;
        std::uint32_t cp = c;
        if (valid && len > 1) {
            cp = c & (0x7Fu >> len);
            for (std::size_t k = 1; k < len && valid; ++k) {
                const unsigned char cc = static_cast<unsigned char>(sText[i + k]);
                valid = (cc & 0xC0) == 0x80;
                cp = (cp << 6) | (cc & 0x3Fu);
            }
            valid = valid && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        }
        if (!valid) {
            cp = c;
            len = 1;
        }
        if ((cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || cp == 0xFFFE || cp == 0xFFFF) {
            out += kReplacement;
        } else if (valid) {
            out.append(sText, i, len);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
        i += len;
    }
    return out;
}

// Appends Name to Parent and sets its text; the step follows only once both have worked.
void AppendTextElement(pugi::xml_node Parent, const char* Name, const std::string& sText) {
    pugi::xml_node node = Parent.append_child(Name);
    if (!node) throw std::runtime_error(std::string("Cannot create element \"") + Name + "\"");
    if (!sText.empty() && !node.text().set(XmlText(sText).c_str())) {
        throw std::runtime_error(std::string("Cannot set the text of element \"") + Name + "\"");
    }
}

std::string ErrnoText(const char* What, int Error) { return std::string(What) + ": " + OutputErrorText(Error); }

class tFileWriter : public pugi::xml_writer {
  public:
    explicit tFileWriter(int Fd) : Fd_(Fd) {}
    void write(const void* data, size_t size) override {
        if (Error_ == 0) Error_ = WriteAll(Fd_, static_cast<const char*>(data), size);
    }
    int Error() const { return Error_; }

  private:
    int Fd_;
    int Error_ = 0;
};

// Writes the document, replacing any regular file of the name; a failure throws with the system's
// reason. Reports land in a folder others may write to, so a link planted under the name is refused.
void SaveDocument(const pugi::xml_document& Document, const std::string& sFileName) {
    const int fd = OpenOutputFile(sFileName, O_CREAT | O_TRUNC);
    if (fd < 0) throw std::runtime_error(ErrnoText("Cannot create the report file", errno));
    tFileWriter writer(fd);
    Document.save(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    const int closeError = ::close(fd) == 0 ? 0 : errno;
    if (writer.Error() != 0) throw std::runtime_error(ErrnoText("Cannot write the report file", writer.Error()));
    if (closeError != 0) throw std::runtime_error(ErrnoText("Cannot close the report file", closeError));
}

std::string DemangledName(const char* Mangled) {
    if (Mangled == nullptr) return {};
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> readable(abi::__cxa_demangle(Mangled, nullptr, nullptr, &status), std::free);
    if (status == 0 && readable) return readable.get();
    return Mangled;
}

std::string CurrentExceptionClassName() {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return type ? DemangledName(type->name()) : std::string();
}

bool FileExists(const std::string& sFileName) {
    struct stat st;
    return ::stat(sFileName.c_str(), &st) == 0;
}

}  // namespace

namespace {

// Steps 100 to 300: the document and its frame; returns the "Exception" element.
pugi::xml_node BuildFrame(pugi::xml_document& Document, tLogRec& LogRec) {
    LogRec.Step(100);
    LogRec.Step(200);
    Document.reset();
    LogRec.Step(210);
    LogRec.Step(220);
    pugi::xml_node root = Document.append_child("xml");
    if (!root) throw std::runtime_error("Cannot create element \"xml\"");
    LogRec.Step(230);
    pugi::xml_node exception = root.append_child("Exception");
    if (!exception) throw std::runtime_error("Cannot create element \"Exception\"");
    LogRec.Step(300);
    return exception;
}

// Steps 305 to 380: the twelve elements in their order.
void AppendElements(pugi::xml_node Exception, const tExceptionRec& Rec, Clock& TheClock, tLogRec& LogRec) {
    AppendTextElement(Exception, "DateTime", ReportDateTimeText(TheClock.Now()));
    LogRec.Step(305);
    tMachineUpTime upTime;
    GetMachineUpTime(upTime);
    AppendTextElement(Exception, "MachineUpTime", upTime.UpTimeText);
    LogRec.Step(310);
    AppendTextElement(Exception, "SelfName", GlobalSettings.SelfName);
    LogRec.Step(315);
    AppendTextElement(Exception, "Version", GlobalSettings.Version);
    LogRec.Step(320);
    AppendTextElement(Exception, "Function", Rec.Function);
    LogRec.Step(325);
    AppendTextElement(Exception, "Trace", std::to_string(Rec.Trace));
    LogRec.Step(330);
    AppendTextElement(Exception, "HostName", GlobalSettings.HostName);
    LogRec.Step(335);
    AppendTextElement(Exception, "ClassName", Rec.ClassName);
    LogRec.Step(340);
    AppendTextElement(Exception, "e.Message", Rec.Message);
    LogRec.Step(360);
    AppendTextElement(Exception, "CallingFunction", Rec.CallingFunction);
    LogRec.Step(360);
    AppendTextElement(Exception, "SQL", Rec.SQL);
    LogRec.Step(360);
    AppendTextElement(Exception, "Notes", Rec.Notes);
    LogRec.Step(380);
}

void SaveDocumentFallback(const std::string& sText, Clock& TheClock) {
    try {
        AppendLogLine(sText, "Exception.txt", TheClock);
    } catch (...) {
        // Nowhere left to say it.
    }
}

std::string FallbackLine(const tLogRec& LogRec, const std::string& sMessage, const std::string& sFileName) {
    return "brix32.SaveExceptionRecAsXML LogRec.Trace=" + std::to_string(LogRec.Trace) + " E.Message=" + sMessage +
           " sFileName=" + sFileName + " ";
}

class tStringWriter : public pugi::xml_writer {
  public:
    void write(const void* data, size_t size) override { Text.append(static_cast<const char*>(data), size); }
    std::string Text;
};

}  // namespace

std::string SaveExceptionRecAsXML(const tExceptionRec& ExceptionRec, const std::string& sDirectory, Clock& TheClock,
                                  ToneOutput& Tones) {
    std::string sFileName;
    tLogRec LogRec(kReportOwner);
    try {
        const tExceptionRec rec = ExceptionRec;
        pugi::xml_document document;
        AppendElements(BuildFrame(document, LogRec), rec, TheClock, LogRec);
        sFileName = ReportFileName(rec.FileNameTemplate, ReportDirectory(sDirectory), TimestampText(TheClock.Now()));
        LogRec.Step(420);
        SaveDocument(document, sFileName);
        LogRec.Step(460);
        if (rec.Beep) PlayReportTones(Tones);
    } catch (const std::exception& E) {
        SaveDocumentFallback(FallbackLine(LogRec, E.what(), sFileName), TheClock);
    } catch (...) {
        SaveDocumentFallback(FallbackLine(LogRec, "unknown exception (" + CurrentExceptionClassName() + ")", sFileName),
                             TheClock);
    }
    return sFileName;
}

std::string SaveExceptionRecAsXML(const tExceptionRec& ExceptionRec) {
    return DefaultExceptionReporter().Report(ExceptionRec);
}

std::string ExceptionReportText(const tExceptionRec& ExceptionRec, Clock& TheClock) {
    tLogRec LogRec(kReportOwner);
    pugi::xml_document document;
    AppendElements(BuildFrame(document, LogRec), ExceptionRec, TheClock, LogRec);
    tStringWriter writer;
    document.save(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return writer.Text;
}

bool AppendLogLine(const std::string& sText, const std::string& sFileName) {
    return AppendLogLine(sText, sFileName, SystemClock());
}

bool AppendLogLine(const std::string& sText, const std::string& sFileName, Clock& TheClock) {
    try {
        const bool existed = FileExists(sFileName);
        if (sText.empty()) {
            ::unlink(sFileName.c_str());
            return true;
        }
        const std::string line = DateTimeText(TheClock.Now()) + ": " + sText + "\r\n";
        const int fd = OpenOutputFile(sFileName, existed ? O_APPEND : (O_APPEND | O_CREAT));
        if (fd < 0) return false;
        const bool written = WriteAll(fd, line.data(), line.size()) == 0;
        const bool closed = ::close(fd) == 0;
        return written && closed;
    } catch (...) {
        return false;
    }
}

std::string ExceptionClassName(const std::exception& E) { return DemangledName(typeid(E).name()); }

void ReportTracedFailure(const char* Function, const tLogRec& LogRec, tExceptionRec& ExceptionRec,
                         ExceptionReporter& Reporter) noexcept {
    // Rethrowing the exception being handled is the one way to learn whether it is a std::exception;
    // it costs nothing until an operation has failed.
    try {
        try {
            throw;
        } catch (const std::exception& E) {
            ExceptionRec.ClassName = ExceptionClassName(E);
            ExceptionRec.Message = E.what();
        } catch (...) {
            ExceptionRec.ClassName = CurrentExceptionClassName();
            ExceptionRec.Message = "unknown exception";
        }
    } catch (...) {
        // An exhausted heap: the rest of the record may still get through.
    }
    try {
        ExceptionRec.Function = Function ? Function : "";
        ExceptionRec.Trace = LogRec.Trace;
        ExceptionRec.Beep = true;
        ExceptionRec.FileNameTemplate = GlobalSettings.ExceptionFileTemplate;
        Reporter.Report(ExceptionRec);
    } catch (...) {
        // Only an exhausted heap gets here; the operation has failed either way.
    }
}

bool RunTracedOperation(const char* Function, tLogRec& LogRec, tExceptionRec& ExceptionRec,
                        const std::function<void()>& Body) {
    return RunTraced(Function, LogRec, ExceptionRec, Body);
}

bool RunTracedOperation(const char* Function, tLogRec& LogRec, tExceptionRec& ExceptionRec,
                        const std::function<void()>& Body, ExceptionReporter& Reporter) {
    return RunTraced(Function, LogRec, ExceptionRec, Body, Reporter);
}

XmlFileReporter::XmlFileReporter(std::string sDirectory, Clock& TheClock, ToneOutput& Tones)
    : sDirectory_(std::move(sDirectory)), Clock_(TheClock), Tones_(Tones) {}

std::string XmlFileReporter::Report(const tExceptionRec& ExceptionRec) {
    return SaveExceptionRecAsXML(ExceptionRec, sDirectory_, Clock_, Tones_);
}

namespace {

std::atomic<ExceptionReporter*> gInstalledReporter{nullptr};

// Looks the installed reporter up at every report, so that one installed after a caller took the
// default (the window makes its handler before it knows where its files go) is still the one used.
class InstalledOrProgramDirReporter : public ExceptionReporter {
  public:
    std::string Report(const tExceptionRec& ExceptionRec) override {
        if (ExceptionReporter* Installed = gInstalledReporter.load(std::memory_order_acquire)) {
            return Installed->Report(ExceptionRec);
        }
        return ProgramDir_.Report(ExceptionRec);
    }

  private:
    XmlFileReporter ProgramDir_;
};

}  // namespace

ExceptionReporter& DefaultExceptionReporter() {
    static InstalledOrProgramDirReporter Reporter;
    return Reporter;
}

void InstallDefaultExceptionReporter(ExceptionReporter* Reporter) {
    gInstalledReporter.store(Reporter, std::memory_order_release);
}

}  // namespace brix32
