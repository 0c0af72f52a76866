#pragma once
// Makes peer objects by kind. The job consults one factory; the process has a
// default one where the peer kinds register, and tests install their own.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace veldmoor {

class IPeerJob;
class TPeerObject;

class PeerFactory {
public:
    // Returns a new object bound to the job, holding one reference for the caller.
    using Constructor = std::function<TPeerObject*(IPeerJob& job)>;

    // Replaces an earlier constructor of the same kind; an empty one removes it.
    void Register(int32_t kind, Constructor constructor);
    bool Knows(int32_t kind) const;
    // Null for a kind nobody registered.
    TPeerObject* Create(int32_t kind, IPeerJob& job) const;

private:
    mutable std::mutex mutex_;
    std::map<int32_t, Constructor> constructors_;
};

// The peer kinds of this process.
PeerFactory& DefaultPeerFactory();

}  // namespace veldmoor
