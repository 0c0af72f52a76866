#pragma once
// A demo world for a test: a small demo product made with the profile
// builder for ports chosen now, a build-like folder that scripts/demo-world.sh
// reads, and the script run up and down. Like the demo world of a demo build,
// only smaller and on free ports.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/profile-builder/DemoProduct.h"

namespace veldmoor::test {

struct DemoWorldSettings {
    uint64_t installerSize = 8u << 20;
    int seeders = 2;
    std::string mirrorRate = "1m";  // nginx limit_rate per connection
};

class DemoWorld {
public:
    explicit DemoWorld(std::string folder) : folder_(std::move(folder)) {}
    // Brings the world down when a test left it up.
    ~DemoWorld();

    // Makes the product and the folder the script reads.
    bool Make(const DemoWorldSettings& settings, std::string& error);
    // Runs the script; its output is in `output`.
    bool Up(std::string& output);
    bool Down(std::string& output);
    bool StatusSaysUp();

    const profilebuilder::DemoProduct& Product() const { return product_; }
    std::string BuildFolder() const { return folder_ + "/build"; }
    std::string WorldFolder() const { return BuildFolder() + "/world"; }
    // Bytes each mirror's access log says it served, by mirror number 1..3.
    uint64_t MirrorBytes(int mirror) const;
    std::string MirrorLog(int mirror) const;
    // Pids in the world's pid files.
    std::vector<int> Pids() const;
    std::vector<int> ListeningPorts() const;
    // What the world's statistics collector prints for the events it stored.
    std::string StatisticsReport() const;

private:
    int RunScript(const std::string& command, std::string& output);

    std::string folder_;
    profilebuilder::DemoProduct product_;
    std::map<std::string, int> ports_;
    DemoWorldSettings settings_;
    bool up_ = false;
};

}  // namespace veldmoor::test
