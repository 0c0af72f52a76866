#include "reporting/StatisticsSink.h"

#include "foundation/EventCodes.h"

namespace veldmoor::reporting {

StatisticsSink::StatisticsSink(Options options) : options_(std::move(options)) {}

StatisticsSink::~StatisticsSink() { Stop(); }

bool StatisticsSink::Start(const StatisticsIdentity& identity) {
    std::lock_guard<std::mutex> guard(submitMutex_);
    if (upload_) return configured_;
    const SystemDescription& system = options_.system ? *options_.system : ThisSystem();
    CDataStatisticsImp::Options componentOptions;
    componentOptions.installCrashHandler = options_.installCrashHandler;
    auto component = std::make_unique<CDataStatisticsImp>(options_.makePoster(), system, componentOptions);
    upload_ = std::make_unique<DataUpload>(std::move(component), options_.queueLimits);

    if (!identity.gameId.empty() && !identity.programVersion.empty() && !identity.gameVersion.empty() &&
        !identity.channel.empty())
        identity_ = {identity.gameId, identity.programVersion, identity.gameVersion, identity.channel};
    configured_ = !identity.configurationPath.empty() && !identity_.gameId.empty();
    if (!configured_ || !upload_->Begin(identity.configurationPath)) {
        upload_.reset();
        configured_ = false;
        return false;
    }
    machineIdText_ = upload_->MachineIdText();
    return true;
}

void StatisticsSink::Stop() {
    std::unique_ptr<DataUpload> upload;
    {
        std::lock_guard<std::mutex> guard(submitMutex_);
        upload = std::move(upload_);
        configured_ = false;
    }
    if (upload) upload->End();
}

std::string StatisticsSink::MachineIdText() const { return machineIdText_; }

void StatisticsSink::Submit(const std::string& code, const EventFields& fields) {
    std::lock_guard<std::mutex> guard(submitMutex_);
    if (!upload_ || !configured_ || !upload_->Accepting()) return;
    const uint32_t flags = code == kEventWithHardware ? static_cast<uint32_t>(kHardwareAll) : 0u;
    upload_->Submit({code, FormatFragment(identity_, fields, growth_.Take(fields)), flags});
}

void StatisticsSink::SimpleEvent(const std::string& code, const std::string& fileName, const std::string& errorText) {
    EventFields fields;
    fields.fileName = fileName;
    fields.errorText = errorText;
    Submit(code, fields);
}

void StatisticsSink::ProgressEvent(const std::string& code, const std::string& errorText, const ProgressSnapshot& snapshot) {
    EventFields fields;
    fields.totalSeconds = snapshot.totalSeconds;
    fields.totalBytes = snapshot.totalBytes;
    fields.averageSpeed = snapshot.averageSpeed;
    fields.progressText = snapshot.progressText;
    fields.httpBytes = snapshot.httpBytes;
    fields.httpAverageSpeed = snapshot.httpAverageSpeed;
    fields.peerBytes = snapshot.peerBytes;
    fields.peerAverageSpeed = snapshot.peerAverageSpeed;
    fields.errorText = errorText;
    Submit(code, fields);
}

void StatisticsSink::PieceCheckEvent(const std::string& code, const std::string& sourceAddress, uint32_t piece,
                                     const std::string& fileName) {
    EventFields fields;
    fields.serverAddress = sourceAddress;
    fields.corruptPiece = piece;
    fields.fileName = fileName;
    Submit(code, fields);
}

std::unique_ptr<IEventSink> MakeStatisticsSink() { return std::make_unique<StatisticsSink>(); }

}  // namespace veldmoor::reporting
