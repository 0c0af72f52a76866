#include "peers/PeerFactory.h"

#include "peers/StandardPeerKinds.h"

namespace veldmoor {

void PeerFactory::Register(int32_t kind, Constructor constructor) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (constructor)
        constructors_[kind] = std::move(constructor);
    else
        constructors_.erase(kind);
}

bool PeerFactory::Knows(int32_t kind) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return constructors_.contains(kind);
}

TPeerObject* PeerFactory::Create(int32_t kind, IPeerJob& job) const {
    Constructor constructor;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const auto found = constructors_.find(kind);
        if (found == constructors_.end()) return nullptr;
        constructor = found->second;
    }
    return constructor(job);
}

PeerFactory& DefaultPeerFactory() {
    static PeerFactory& factory = [] () -> PeerFactory& {
        static PeerFactory made;
        RegisterStandardPeerKinds(made);
        return made;
    }();
    return factory;
}

}  // namespace veldmoor
