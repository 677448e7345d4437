#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

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

namespace testing {
// Test seam: while armed, the traced operation named Function throws std::runtime_error(Message)
// the moment it reaches Step. Off in production; costs one relaxed atomic load per step.
void ArmStepFault(const std::string& Function, std::int32_t Step, const std::string& Message = "injected fault");
void DisarmStepFault();
extern std::atomic<bool> gStepFaultArmed;
void CheckStepFault(const char* Function, std::int32_t Step);
}  // namespace testing

// The per-operation trace record: Trace holds the last milestone passed, which a report carries.
struct tLogRec {
    explicit tLogRec(const char* OwnerFunction = "") : Owner(OwnerFunction) {}

    void Step(std::int32_t Milestone) {
        Trace = Milestone;
        if (testing::gStepFaultArmed.load(std::memory_order_relaxed)) testing::CheckStepFault(Owner, Milestone);
    }

    std::int32_t Reserved = 0;
    std::int32_t Trace = 0;
    std::string ReservedText;
    double ReservedDateTime = 0.0;
    const char* Owner;
};

// Writes the XML report for ExceptionRec beside the program and returns its full file name (set on
// every path; empty when the failure came before naming). Never throws: a failure leaves one line
// in "Exception.txt" instead.
std::string SaveExceptionRecAsXML(const tExceptionRec& ExceptionRec);

// Appends "<date time>: sText" CR LF to sFileName; an empty sText deletes the file. True unless an
// error occurred. Never throws.
bool AppendLogLine(const std::string& sText, const std::string& sFileName);

// Readable type name of an exception ("std::runtime_error"), for tExceptionRec::ClassName.
std::string ExceptionClassName(const std::exception& E);

// The traced-operation convention in one place: runs Body; if it throws, fills ExceptionRec
// (Function, ClassName, Message, Trace from LogRec, Beep, the settings' file-name template; Notes
// is left as the operation set it) and saves the report. Returns false when Body threw.
bool RunTracedOperation(const char* Function, tLogRec& LogRec, tExceptionRec& ExceptionRec,
                        const std::function<void()>& Body);

namespace testing {
// Test seam for the report: the directory it is written to instead of the program's directory. Empty
// Directory restores the default. Whether the tones really play is switched in Tones.h.
void SetReportDirectoryForTesting(const std::string& Directory);
}  // namespace testing

}  // namespace brix32
