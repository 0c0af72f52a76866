#pragma once
// Only one copy of the program runs per user. The first copy holds a lock
// file and listens on a local socket, both in the runtime folder and named
// with the installer's MD5 text. A later copy asks the first, over the
// socket, to come to the front and ends. A first copy that does not answer
// within a second is taken for hung: when the process holding our lock runs
// our own executable it is asked to stop, and killed only when it does not.
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <chrono>
#include <memory>

#include "platform/SingleInstanceLock.h"

namespace veldmoor::ui {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        kFirst,        // this copy runs; the lock is held and the socket listens
        kAnswered,     // the first copy answered: end quietly (exit 0)
        kBlocked,      // the lock is held by a process that is not our program
        kFailed,       // no runtime folder, or the socket could not listen
    };

    struct Timing {
        std::chrono::milliseconds answer{1000};  // how long the first copy has to answer
        std::chrono::milliseconds grace{3000};   // how long a hung copy has to stop when asked
    };

    // `key`: the MD5 text; `runtimeFolder`: where the lock and the socket live.
    SingleInstance(const QString& key, const QString& runtimeFolder, Timing timing);
    SingleInstance(const QString& key, const QString& runtimeFolder);
    ~SingleInstance() override;

    Outcome Claim();

    QString LockPath() const { return lockPath_; }
    QString SocketPath() const { return socketPath_; }
    // What happened to a hung first copy during Claim, for the log.
    platform::EndOutcome HungCopyOutcome() const { return hungOutcome_; }
    bool HungCopyFound() const { return hungFound_; }

signals:
    // A later copy started in `workingFolder`; bring the window to the front.
    void RaiseRequested(const QString& workingFolder);

private:
    bool BecomeFirst();
    bool AskFirstCopyToRaise();
    void OnConnection();

    QString lockPath_;
    QString socketPath_;
    Timing timing_;
    platform::FileLock lock_;
    std::unique_ptr<QLocalServer> server_;
    platform::EndOutcome hungOutcome_ = platform::EndOutcome::kNotOurs;
    bool hungFound_ = false;
};

}  // namespace veldmoor::ui
