#include <utility>

#include "LruTemplateCache.h"
#include "flowdecode/Ipfix.h"

namespace netflowlib {

// The least-recently-used map behind IpfixTemplateStore.
class IpfixTemplateCache : public LruTemplateCache<tIpfixTemplate> {
  public:
    using LruTemplateCache::LruTemplateCache;
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

IpfixTemplateStore& ProcessIpfixTemplateStore() {
    static IpfixTemplateStore Store;
    return Store;
}

}  // namespace netflowlib
