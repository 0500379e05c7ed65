// Helper of the named-mutex test: tries to take the named mutex from a second process.
// Exit 0: taken (and released); 1: held by someone else; 2: could not open.
#include <memory>

#include "platform/Host.h"
#include "platform/NamedMutex.h"

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    auto provider = vq::MakeHostNamedMutexProvider();
    auto m = provider->open(argv[1]);
    if (!m)
        return 2;
    if (!m->tryLock())
        return 1;
    m->unlock();
    return 0;
}
