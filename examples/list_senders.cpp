// The receiver's senders, one line each (id, application type, name), through the
// installed receiver client: the smallest program on ScreenReceiverStub.
#include <ScreenReceiverStub.h>

#include <cstdio>

int main() {
    ScreenReceiverStub stub;
    std::vector<SenderRecord> senders;
    if (stub.ConnectToReceiver() < 0 || stub.GetNonLocalSenderList(&senders) < 0) {
        std::fprintf(stderr, "list_senders: %s\n", stub.GetErrorTextCopy().c_str());
        return 1;
    }
    for (const SenderRecord& s : senders) {
        std::printf("%u %u %s\n", s.id(), s.appType(), s.userName().c_str());
    }
    return 0;
}
