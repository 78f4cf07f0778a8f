// One start of the application as far as the event channel's token goes: the standard secret
// store, the receiver that loads or makes the token, the token printed. The tests run it with
// and without a Secret Service to see which token each start reads.
#include "app/store/LocalFilterEventReceiver.h"
#include "platform/SecretStore.h"
#include "tests/qt-support/MemoryPreferences.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    auto secrets = zorvane::SecretStore::standard();
    zorvane::LocalFilterEventReceiver receiver(
        std::make_shared<zorvane::testing::MemoryPreferences>(), *secrets);
    std::printf("%s\n", receiver.authenticationToken().c_str());
    return 0;
}
