#pragma once
// The job a peer connection belongs to: the roles it plays for connections,
// each in its own interface. A connection reaches each role through its
// accessors (TPeerObject::JobSchedule and the others), never the job's own
// classes; the job implements them all.
#include "peers/IJobState.h"
#include "peers/IPieceSchedule.h"
#include "peers/ISourceRegistry.h"
#include "peers/ITransferMeter.h"

namespace veldmoor {

class IPeerJob : public IPieceSchedule, public ITransferMeter, public ISourceRegistry, public IJobState {
protected:
    ~IPeerJob() = default;
};

}  // namespace veldmoor
