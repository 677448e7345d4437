#include <utility>

#include "LruTemplateCache.h"
#include "flowdecode/Ipfix.h"
#include "flowdecode/Templates.h"

namespace netflowlib {

// The bounded map behind IpfixTemplateStore.
class IpfixTemplateCache : public LruTemplateCache<tIpfixTemplate> {
  public:
    explicit IpfixTemplateCache(std::size_t TotalCapacity = kIpfixTemplateCapacity,
                                std::size_t PerSenderCapacity = kTemplatesPerExporter)
        : LruTemplateCache(TotalCapacity, PerSenderCapacity) {}
};

IpfixTemplateStore::IpfixTemplateStore(std::size_t Capacity) : Cache_(std::make_unique<IpfixTemplateCache>(Capacity)) {}

IpfixTemplateStore::~IpfixTemplateStore() = default;

const tIpfixTemplate* IpfixTemplateStore::Find(std::string_view sSender, std::uint32_t Domain,
                                               std::uint16_t TemplateID) {
    return Cache_->Find(sSender, Domain, TemplateID);
}

void IpfixTemplateStore::Store(std::string_view sSender, std::uint32_t Domain, tIpfixTemplate Template) {
    const std::uint16_t id = Template.TemplateID;
    Cache_->Store(sSender, Domain, id, std::move(Template));
}

bool IpfixTemplateStore::Withdraw(std::string_view sSender, std::uint32_t Domain, std::uint16_t TemplateID) {
    return Cache_->Withdraw(sSender, Domain, TemplateID);
}

int IpfixTemplateStore::WithdrawAll(std::string_view sSender, std::uint32_t Domain) {
    return Cache_->WithdrawAll(sSender, Domain);
}

void IpfixTemplateStore::Clear() { Cache_->Clear(); }

std::size_t IpfixTemplateStore::Size() const { return Cache_->Size(); }
std::size_t IpfixTemplateStore::Capacity() const { return Cache_->Capacity(); }
std::uint64_t IpfixTemplateStore::Evicted() const { return Cache_->Evicted(); }

IpfixTemplateStore& ProcessIpfixTemplateStore() {
    static IpfixTemplateStore Store;
    return Store;
}

}  // namespace netflowlib
