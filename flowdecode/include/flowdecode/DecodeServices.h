#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flowdecode/FlowFacts.h"
#include "support/Seams.h"

namespace netflowlib {

class PacketTraceSink;
class PendingDataSets;
class TemplateStore;

// What one datagram may cost. Real exporters put 30 to 60 records into a datagram and their
// templates describe records of 20 bytes and more; these bounds leave such datagrams whole and
// keep a hostile one within a few times the cost of a full ordinary one.
struct tDecodeBounds {
    // Records one datagram may have decoded; the walk ends at the first record beyond. A datagram
    // holds at most 65,535 bytes and a record at least MinRecordLength of them, so the default never
    // cuts a well-formed record: the work is bounded by the datagram's bytes.
    int MaxRecords = 65535 / 4;
    // Bytes of packet trace per datagram, header included; the trace ends with one line saying so and
    // decoding goes on untraced.
    std::size_t MaxTraceBytes = 512 * 1024;
    // Templates whose records are shorter cannot carry a flow (not even one IPv4 address) and are
    // refused. A field of length 0 is accepted unless asked otherwise: real exporters send them, and
    // it occupies no bytes and fills nothing.
    std::int64_t MinRecordLength = 4;
    bool RefuseZeroLengthFields = false;
};

// The side effects of the decoders, passed in. The signatures without services use
// DefaultDecodeServices(): the line-by-line trace files, the default exception reporter, the
// process-wide template store and the system clock.
struct tDecodeServices {
    PacketTraceSink& Trace;
    brix32::ExceptionReporter& Reporter;
    TemplateStore& Templates;
    brix32::Clock& Clock;
    tDecodeBounds Bounds{};
    // Where data that arrives before its template waits for it; none: such data is skipped.
    PendingDataSets* Pending = nullptr;
};

tDecodeServices DefaultDecodeServices();
// The defaults with another trace sink.
tDecodeServices DefaultDecodeServices(PacketTraceSink& Trace);

constexpr std::size_t kMaxMissingTemplateIds = 16;
constexpr std::size_t kMaxTemplateNotes = 16;

// One template a datagram taught, withdrew or had refused, for the per-exporter view.
struct tTemplateNote {
    enum class Kind : std::uint8_t { Learned, Withdrawn, Refused };
    Kind What = Kind::Learned;
    std::int32_t TemplateID = 0;
    std::int32_t FieldCount = 0;
};

constexpr std::size_t kMaxOptionsRecords = 1024;

// What both walks report beside their records: options data, held and late data, and flows lost.
struct tWalkExtras {
    // Options data records read, in order (the first kMaxOptionsRecords of them).
    std::vector<tOptionsRecord> Options;
    // Options templates learned, and options templates or records that were malformed, named a scope
    // of no length or ran past their set: ignored.
    int OptionsTemplatesLearned = 0;
    int OptionsIgnored = 0;
    // Data sets kept for a template not yet known, decoded now that it came, dropped for age, and
    // refused by the bounds on what may wait.
    int SetsHeld = 0;
    int SetsDecodedLate = 0;
    int SetsExpired = 0;
    int SetsDropped = 0;
    // Records of this datagram a bound left undecoded.
    int RecordsDropped = 0;
};

// What one DecodeV9Packet call tells its caller.
struct tV9Outcome {
    // Slots the walk reached: the caller visits slots 0 .. SlotsReached - 1.
    int SlotsReached = 0;
    int RecordsDecoded = 0;
    // The bounds cut the datagram's records (the rest was not decoded) or its trace.
    bool RecordsCut = false;
    bool TraceCut = false;
    int TemplatesLearned = 0;
    int TemplatesRefused = 0;
    int TemplatesWithdrawn = 0;
    // Data flowsets that arrived before their template, and their distinct ids in order of arrival
    // (the first kMaxMissingTemplateIds of them).
    int FlowsetsWithoutTemplate = 0;
    std::vector<std::int32_t> MissingTemplateIds;
    // The templates behind the three counts above, in order (the first kMaxTemplateNotes of them).
    std::vector<tTemplateNote> TemplateNotes;
    // The datagram disagreed with its own lengths (IPFIX: the message length, a set running past it).
    bool Malformed = false;
    // A failure was reported; what was decoded before it stays.
    bool Failed = false;
    tWalkExtras Extras;
};

}  // namespace netflowlib
