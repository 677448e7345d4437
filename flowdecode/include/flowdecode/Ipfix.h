#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "flowdecode/DecodeServices.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/RecordPlan.h"

namespace netflowlib {

struct tFieldRule;

// One field specifier of an IPFIX template. Enterprise-specific elements keep their number but have
// no rule that stores anything: their element ids belong to the enterprise, not to the shared table.
struct tIpfixField {
    std::uint16_t ElementID = 0;         // without the enterprise bit
    std::uint16_t Length = 0;            // 65535: variable length
    std::uint32_t EnterpriseNumber = 0;  // 0: an element of the shared registry
    const tFieldRule* Rule = nullptr;
};

// A template as the IPFIX walk uses it.
struct tIpfixTemplate {
    std::uint16_t TemplateID = 0;
    std::vector<tIpfixField> Fields;
    // The fixed lengths, each variable-length field counted as its shortest form (one byte); fewer
    // bytes left in a data set than this are padding.
    std::int64_t MinRecordLength = 0;
    std::int32_t VariableFields = 0;
    tRecordPlan Plan;
    // An options template: the first ScopeFields fields are its scope.
    bool Options = false;
    std::uint16_t ScopeFields = 0;
};

// Templates with more fields are refused: no exporter needs them and they would let one message
// make the store hold megabytes.
constexpr std::size_t kMaxIpfixTemplateFields = 128;
// The version 9 bounds (kTemplatesPerExporter per exporter). A template at the field cap costs several
// kilobytes, so only 64 senders filling their shares with such could take the store past 100 MB.
constexpr std::size_t kIpfixTemplateCapacity = 32768;

class IpfixTemplateCache;

// IPFIX templates keyed by the sender's address text, the observation domain and the template id.
// Apart from the version 9 store, because the two numberings are unrelated: an exporter may speak
// both and use one id for two layouts. Bounded like the version 9 store: in all and per sender, least
// recently used first out. Listener thread only.
class IpfixTemplateStore {
  public:
    explicit IpfixTemplateStore(std::size_t Capacity = kIpfixTemplateCapacity);
    ~IpfixTemplateStore();
    IpfixTemplateStore(const IpfixTemplateStore&) = delete;
    IpfixTemplateStore& operator=(const IpfixTemplateStore&) = delete;

    // The template for this key, or nullptr; a hit counts as a use. The pointer stays valid until the
    // next Store, Withdraw, WithdrawAll or Clear.
    const tIpfixTemplate* Find(std::string_view sSender, std::uint32_t Domain, std::uint16_t TemplateID);
    void Store(std::string_view sSender, std::uint32_t Domain, tIpfixTemplate Template);
    // True when there was such a template.
    bool Withdraw(std::string_view sSender, std::uint32_t Domain, std::uint16_t TemplateID);
    // Every template of one observation domain; the number withdrawn.
    int WithdrawAll(std::string_view sSender, std::uint32_t Domain);
    void Clear();
    std::size_t Size() const;
    std::size_t Capacity() const;
    // Templates pushed out by the bounds so far.
    std::uint64_t Evicted() const;

  private:
    std::unique_ptr<IpfixTemplateCache> Cache_;
};

// The store behind the signature without one.
IpfixTemplateStore& ProcessIpfixTemplateStore();

struct tIpfixTemplateNote {
    std::uint16_t TemplateID = 0;
    std::uint16_t FieldCount = 0;  // 0: withdrawn
};

// What one DecodeIpfixPacket call tells its caller.
struct tIpfixOutcome {
    // Records are filled from slot 0 on, without gaps: the caller visits slots 0 .. SlotsReached - 1.
    int SlotsReached = 0;
    int RecordsDecoded = 0;
    // The bound on records ended the walk (DecodeServices.h).
    bool RecordsCut = false;
    int TemplatesLearned = 0;
    int TemplatesRefused = 0;
    int TemplatesWithdrawn = 0;
    int OptionsTemplateSets = 0;
    // Templates learned and withdrawn, in order (the first kMaxMissingTemplateIds of them).
    std::vector<tIpfixTemplateNote> Templates;
    int SetsWithoutTemplate = 0;
    std::vector<std::int32_t> MissingTemplateIds;
    // The length field disagreed with the datagram (the shorter was used), or a set, template or
    // record ran past the end of what holds it.
    bool Malformed = false;
    // A failure was reported; what was decoded before it stays.
    bool Failed = false;
    tWalkExtras Extras;
};

// Decodes one IPFIX message (version 10) whose header DecodeHeader read into Records: the records
// of the data sets whose templates are known, through the same field table as version 9, so that the
// same values give the same record. Learns templates into Templates. Writes no trace and no marker.
// Never throws: a failure goes to Services.Reporter ("NetFlowLib.DecodeIpfixPacket").
tIpfixOutcome DecodeIpfixPacket(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                                const tNetflowHeader& Header, tNetflowV9Records& Records,
                                const tDecodeServices& Services, IpfixTemplateStore& Templates);
// The same with the process-wide IPFIX store.
tIpfixOutcome DecodeIpfixPacket(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                                const tNetflowHeader& Header, tNetflowV9Records& Records,
                                const tDecodeServices& Services);

}  // namespace netflowlib
