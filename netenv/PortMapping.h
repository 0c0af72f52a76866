#pragma once
// The controller's seam to the home router: choose the listening port and ask
// the router to forward it. The uPnP engine is the real implementation.
namespace veldmoor {

class IPortMapping {
public:
    virtual ~IPortMapping() = default;

    // Chooses the listening port and starts mapping it in the background;
    // returns the port, or 0 for the engine's default port. Never waits on
    // the network.
    virtual int SetUpPortMapping() = 0;
    // Runs the workers' queued notifications on the owner's thread; the
    // controller calls it from its 100 ms poll.
    virtual void DeliverNotifications() = 0;
    // Removes the mapping this program added (clean exit).
    virtual void RemoveMapping() = 0;
};

// No router: the engine listens on its default port.
class NoPortMapping final : public IPortMapping {
public:
    int SetUpPortMapping() override { return 0; }
    void DeliverNotifications() override {}
    void RemoveMapping() override {}
};

}  // namespace veldmoor
