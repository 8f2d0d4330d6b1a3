// The CGI program: one run per request. Connects to the local screen-receiver service,
// fetches the sender list, carries out the actions the request names, fetches the list
// again and prints it as XML.
#include "CgiFrontEnd.h"
#include "ScreenReceiverStub.h"
#include "XmlReplyWriter.h"
#include "getcgivars.h"

#include <cstdio>
#include <malloc.h>
#include <vector>

namespace {

// Exit code when the service cannot be reached; the reply is then empty.
constexpr int kNoConnection = -10;

} // namespace

int main() {
    // One malloc arena for the whole process: the engine's two short-lived threads would
    // otherwise each map an arena of their own, which costs more than it saves in a run
    // this short.
    mallopt(M_ARENA_MAX, 1);

    ScreenReceiverStub stub;
    if (stub.ConnectToReceiver() < 0) {
        return kNoConnection;
    }

    XmlReplyWriter reply(stdout);
    reply.WriteHeader();

    // Indices in the request refer to this first list. Command results are not reported:
    // the reply has no element for them.
    std::vector<SenderRecord> senders;
    stub.GetNonLocalSenderList(&senders);

    // Ends the process with its own error block (after the header) on a rejected request.
    // The variables are never freed: they live until the process ends, held by a static so
    // that they stay reachable to the end.
    static char** const vars = getcgivars();

    for (const CgiFrontEnd::Action& action : CgiFrontEnd::PlanActions(vars, senders)) {
        switch (action.kind) {
        case CgiFrontEnd::Action::kStart:
            stub.StartPlayImage(action.id, action.frame);
            break;
        case CgiFrontEnd::Action::kStop:
            stub.StopPlayImage(action.id);
            break;
        case CgiFrontEnd::Action::kQuit:
            // Logging out ends the reply right after "<return>".
            stub.QuitConfCtrl();
            return 0;
        }
    }

    stub.GetNonLocalSenderList(&senders);
    reply.WriteSenderList(senders);
    return 0;
}
