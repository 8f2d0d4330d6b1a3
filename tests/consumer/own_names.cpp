// A program with an annotation macro, a lock type and a clock type of its own, named as
// common code names them, that includes the installed headers after them: the headers must
// take none of those names.
#define GUARDED_BY(x)
struct Mutex {
    bool locked = false;
};
struct Deadline {
    int ms = 0;
};

#include <ProtocolBase.h>
#include <ScreenReceiverStub.h>

struct Counter {
    Mutex mutex;
    int count GUARDED_BY(mutex) = 0;
};

int main() {
    ScreenReceiverStub stub;
    const Counter counter;
    const Deadline deadline;
    return counter.count + deadline.ms + (stub.IsConnected() ? 1 : 0);
}
