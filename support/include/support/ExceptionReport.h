#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "support/Seams.h"

namespace brix32 {

struct tExceptionRec {
    std::string Function;
    std::string ClassName;
    std::string Message;
    std::int32_t Trace = 0;
    std::string SQL;
    std::string CallingFunction;
    std::string Notes;
    std::string FileNameTemplate;
    bool Beep = false;
};

// The per-operation trace record: Trace holds the last milestone passed, which a report carries.
struct tLogRec {
    explicit tLogRec(const char* OwnerFunction = "") : Owner(OwnerFunction) {}

    void Step(std::int32_t Milestone) { Trace = Milestone; }

    std::int32_t Reserved = 0;
    std::int32_t Trace = 0;
    std::string ReservedText;
    double ReservedDateTime = 0.0;
    const char* Owner;
};

// Writes the XML report into a directory (the program's directory when none is given), takes its
// times from a clock and plays the four tones through a tone output when the record asks for them.
// The default reporter (Seams.h) is one of these for the program's directory.
class XmlFileReporter : public ExceptionReporter {
  public:
    explicit XmlFileReporter(std::string sDirectory = "", Clock& TheClock = SystemClock(),
                             ToneOutput& Tones = DefaultToneOutput());
    std::string Report(const tExceptionRec& ExceptionRec) override;

  private:
    std::string sDirectory_;
    Clock& Clock_;
    ToneOutput& Tones_;
};

// Writes the XML report for ExceptionRec beside the program and returns its full file name (set on
// every path; empty when the failure came before naming). Never throws: a failure leaves one line
// in "Exception.txt" instead. This is the default reporter's work (Seams.h). The report is never
// written through a symbolic link, FIFO or device planted under its name: that is a failed save.
std::string SaveExceptionRecAsXML(const tExceptionRec& ExceptionRec);
// The same into sDirectory (with its trailing separator; the program's directory when empty), with
// the times from TheClock and the tones through Tones.
std::string SaveExceptionRecAsXML(const tExceptionRec& ExceptionRec, const std::string& sDirectory, Clock& TheClock,
                                  ToneOutput& Tones);

// The report document as SaveExceptionRecAsXML would save it, without saving it or sounding
// anything. Throws what building the document throws.
std::string ExceptionReportText(const tExceptionRec& ExceptionRec, Clock& TheClock);

// Appends "<date time>: sText" CR LF to sFileName; an empty sText deletes the file. True unless an
// error occurred, a symbolic link, FIFO or device in place of the file being one. Never throws.
bool AppendLogLine(const std::string& sText, const std::string& sFileName);
bool AppendLogLine(const std::string& sText, const std::string& sFileName, Clock& TheClock);

// Readable type name of an exception ("std::runtime_error"), for tExceptionRec::ClassName.
std::string ExceptionClassName(const std::exception& E);

// The failure half of RunTraced, kept out of line so that the template costs its callers no more
// than a try block. Only for use inside a catch clause: fills ExceptionRec from the exception being
// handled (ClassName, Message), Function, LogRec's Trace, Beep and the settings' file-name template
// (Notes stays as the operation set it) and hands it to Reporter.
void ReportTracedFailure(const char* Function, const tLogRec& LogRec, tExceptionRec& ExceptionRec,
                         ExceptionReporter& Reporter) noexcept;

// The traced-operation convention in one place, cheap enough for every datagram: runs Body; if it
// throws, reports the failure as ReportTracedFailure describes and returns false. Thread
// cancellation is let through. A cancellation has no exception object, so the undefined-behaviour
// sanitizer takes the handler's reference to it for a null one; the check is off here alone.
template <typename Operation>
__attribute__((no_sanitize("null"))) bool RunTraced(const char* Function, tLogRec& LogRec, tExceptionRec& ExceptionRec,
                                                    Operation&& Body, ExceptionReporter& Reporter) {
    try {
        std::forward<Operation>(Body)();
        return true;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        ReportTracedFailure(Function, LogRec, ExceptionRec, Reporter);
        return false;
    }
}

// The same with the report going to the default reporter.
template <typename Operation>
bool RunTraced(const char* Function, tLogRec& LogRec, tExceptionRec& ExceptionRec, Operation&& Body) {
    return RunTraced(Function, LogRec, ExceptionRec, std::forward<Operation>(Body), DefaultExceptionReporter());
}

// RunTraced for callers that hold the operation as a std::function.
bool RunTracedOperation(const char* Function, tLogRec& LogRec, tExceptionRec& ExceptionRec,
                        const std::function<void()>& Body);
bool RunTracedOperation(const char* Function, tLogRec& LogRec, tExceptionRec& ExceptionRec,
                        const std::function<void()>& Body, ExceptionReporter& Reporter);

}  // namespace brix32
