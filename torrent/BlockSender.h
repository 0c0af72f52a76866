#pragma once
// Who delivered a piece's blocks, as the piece map sees it: counted, so that
// the map can hold it while the piece is open, and able to name itself in the
// log. The job's candidates are the senders; the map never needs more of them.
#include <string>

#include "foundation/TRefObject.h"

namespace veldmoor {

class BlockSender : public TRefObject {
public:
    // "a.b.c.d : port", "0.0.0.0 : 0" while the address is unknown.
    virtual std::string SenderAddress() const = 0;
};

}  // namespace veldmoor
