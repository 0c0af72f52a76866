#include "ui/SingleInstance.h"

#include <QLocalSocket>
#include <chrono>

namespace veldmoor::ui {
namespace {

const QByteArray kRaise = "RAISE ";
const QByteArray kAnswer = "OK\n";

}  // namespace

SingleInstance::SingleInstance(const QString& key, const QString& runtimeFolder, Timing timing)
    : lockPath_(runtimeFolder + QStringLiteral("/veldmoor-") + key + QStringLiteral(".lock")),
      socketPath_(runtimeFolder + QStringLiteral("/veldmoor-") + key + QStringLiteral(".socket")),
      timing_(timing) {}

SingleInstance::SingleInstance(const QString& key, const QString& runtimeFolder)
    : SingleInstance(key, runtimeFolder, Timing{}) {}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
}

SingleInstance::Outcome SingleInstance::Claim() {
    if (lockPath_.startsWith(QLatin1String("/veldmoor-"))) return Outcome::kFailed;
    // A few rounds: the first copy may end between our look at the lock and
    // our knock at its socket.
    for (int round = 0; round < 3; ++round) {
        if (lock_.Acquire(lockPath_.toStdString())) return BecomeFirst() ? Outcome::kFirst : Outcome::kFailed;
        if (AskFirstCopyToRaise()) return Outcome::kAnswered;
        const int holder = platform::FindLockHolder(lockPath_.toStdString());
        if (holder == 0) continue;
        if (!platform::RunsOurExecutable(holder)) return Outcome::kBlocked;
        hungFound_ = true;
        hungOutcome_ = platform::EndHungCopy(holder, lockPath_.toStdString(), timing_.grace);
        if (hungOutcome_ == platform::EndOutcome::kFailed) return Outcome::kFailed;
        if (lock_.Acquire(lockPath_.toStdString(), std::chrono::seconds(2)))
            return BecomeFirst() ? Outcome::kFirst : Outcome::kFailed;
    }
    return Outcome::kFailed;
}

bool SingleInstance::BecomeFirst() {
    // We hold the lock, so a socket file still there belongs to a copy that
    // died: remove it and listen afresh.
    QLocalServer::removeServer(socketPath_);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath_)) return false;
    connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
    return true;
}

bool SingleInstance::AskFirstCopyToRaise() {
    const auto deadline = std::chrono::steady_clock::now() + timing_.answer;
    auto left = [&deadline] {
        return static_cast<int>(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                   .count()));
    };
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(left())) return false;
    socket.write(kRaise + QByteArray::fromStdString(platform::CurrentWorkingFolder()).left(4092) + '\n');
    if (!socket.waitForBytesWritten(left())) return false;
    QByteArray answer;
    while (!answer.contains('\n') && left() > 0 && socket.waitForReadyRead(left())) answer += socket.readAll();
    return answer == kAnswer;
}

void SingleInstance::OnConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > 8192) socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(8192).trimmed();
            if (!line.startsWith(kRaise.trimmed())) {
                socket->abort();
                return;
            }
            socket->write(kAnswer);
            socket->flush();
            socket->disconnectFromServer();
            emit RaiseRequested(QString::fromUtf8(line.mid(kRaise.size())));
        });
    }
}

}  // namespace veldmoor::ui
