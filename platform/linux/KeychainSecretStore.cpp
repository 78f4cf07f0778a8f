#include "KeychainSecretStore.h"

#include "FallbackSecretStore.h"
#include "FileSecretStore.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <qt6keychain/keychain.h>

namespace zorvane {
namespace {

SecretStoreError errorFrom(QKeychain::Error error) {
    switch (error) {
    case QKeychain::EntryNotFound:
        return SecretStoreError::notFound;
    case QKeychain::NoBackendAvailable:
    case QKeychain::NotImplemented:
        return SecretStoreError::unavailable;
    default:
        return SecretStoreError::failed;
    }
}

// Starts the job and waits for it on a local event loop, at most timeLimit. onFinished runs
// inside the job's finished signal, while the job still exists (it deletes itself afterwards).
// False when the time ran out; the job is then left running and its late result is dropped,
// because the connection dies with the local loop.
template <typename OnFinished>
bool runJob(QKeychain::Job* job, std::chrono::milliseconds timeLimit, OnFinished onFinished) {
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    bool finished = false;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job* done) {
        finished = true;
        onFinished(*done);
        loop.quit();
    });
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    job->setAutoDelete(true);
    job->start();
    timer.start(timeLimit);
    if (!finished) {
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return finished;
}

} // namespace

KeychainSecretStore::KeychainSecretStore(std::chrono::milliseconds timeLimit)
    : timeLimit_(timeLimit) {}

SecretReadResult KeychainSecretStore::read(const std::string& service, const std::string& account) {
    if (!QCoreApplication::instance()) {
        return SecretStoreError::unavailable;
    }
    auto* job = new QKeychain::ReadPasswordJob(QString::fromStdString(service));
    job->setKey(QString::fromStdString(account));
    SecretReadResult result = SecretStoreError::timedOut;
    runJob(job, timeLimit_, [&](QKeychain::Job& done) {
        if (done.error() == QKeychain::NoError) {
            const QByteArray data = static_cast<QKeychain::ReadPasswordJob&>(done).binaryData();
            result = std::string(data.constData(), static_cast<std::size_t>(data.size()));
        } else {
            result = errorFrom(done.error());
        }
    });
    return result;
}

std::optional<SecretStoreError> KeychainSecretStore::write(const std::string& service,
                                                           const std::string& account,
                                                           const std::string& secret) {
    if (!QCoreApplication::instance()) {
        return SecretStoreError::unavailable;
    }
    auto* job = new QKeychain::WritePasswordJob(QString::fromStdString(service));
    job->setKey(QString::fromStdString(account));
    job->setBinaryData(QByteArray(secret.data(), static_cast<qsizetype>(secret.size())));
    std::optional<SecretStoreError> result = SecretStoreError::timedOut;
    runJob(job, timeLimit_, [&](QKeychain::Job& done) {
        result = done.error() == QKeychain::NoError ? std::nullopt
                                                    : std::optional(errorFrom(done.error()));
    });
    return result;
}

// The Linux keychain: the Secret Service where one answers, else the user-only file beside the
// preferences.
std::unique_ptr<SecretStore> SecretStore::standard() {
    return std::make_unique<FallbackSecretStore>(
        std::make_unique<KeychainSecretStore>(),
        std::make_unique<FileSecretStore>(FileSecretStore::defaultDirectory()));
}

} // namespace zorvane
