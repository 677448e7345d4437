#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/Seams.h"

namespace netflowlib {

class PacketTraceSink;
class TemplateStore;

// What one datagram may cost. Real exporters put 30 to 60 records into a datagram and their
// templates describe records of 20 bytes and more; these bounds leave such datagrams whole and
// keep a hostile one within a few times the cost of a full ordinary one.
struct tDecodeBounds {
    // Slots one datagram may reach (records decoded plus data flowsets skipped for want of their
    // template before them); the walk ends at the first record beyond.
    int MaxRecords = 100;
    // Bytes of packet trace per datagram, header included; the trace ends with one line saying so and
    // decoding goes on untraced.
    std::size_t MaxTraceBytes = 512 * 1024;
    // Templates whose records are shorter cannot carry a flow (not even one IPv4 address) and are
    // refused, as are templates with a field of length 0.
    std::int64_t MinRecordLength = 4;
    bool RefuseZeroLengthFields = true;
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
};

}  // namespace netflowlib
