#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

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

// Writes the XML report for ExceptionRec beside the program and returns its full file name (set on
// every path; empty when the failure came before naming). Never throws: a failure leaves one line
// in "Exception.txt" instead. This is the default reporter's work (Seams.h).
std::string SaveExceptionRecAsXML(const tExceptionRec& ExceptionRec);
// The same into sDirectory (with its trailing separator; the program's directory when empty), with
// the times from TheClock and the tones through Tones.
std::string SaveExceptionRecAsXML(const tExceptionRec& ExceptionRec, const std::string& sDirectory, Clock& TheClock,
                                  ToneOutput& Tones);

// The report document as SaveExceptionRecAsXML would save it, without saving it or sounding
// anything. Throws what building the document throws.
std::string ExceptionReportText(const tExceptionRec& ExceptionRec, Clock& TheClock);

// Appends "<date time>: sText" CR LF to sFileName; an empty sText deletes the file. True unless an
// error occurred. Never throws.
bool AppendLogLine(const std::string& sText, const std::string& sFileName);
bool AppendLogLine(const std::string& sText, const std::string& sFileName, Clock& TheClock);

// Readable type name of an exception ("std::runtime_error"), for tExceptionRec::ClassName.
std::string ExceptionClassName(const std::exception& E);

// The traced-operation convention in one place: runs Body; if it throws, fills ExceptionRec
// (Function, ClassName, Message, Trace from LogRec, Beep, the settings' file-name template; Notes
// is left as the operation set it) and saves the report. Returns false when Body threw.
bool RunTracedOperation(const char* Function, tLogRec& LogRec, tExceptionRec& ExceptionRec,
                        const std::function<void()>& Body);
// The same with the report going to Reporter instead of the default reporter.
bool RunTracedOperation(const char* Function, tLogRec& LogRec, tExceptionRec& ExceptionRec,
                        const std::function<void()>& Body, ExceptionReporter& Reporter);

}  // namespace brix32
