// receiver-sim: stand-in for the device's screen-receiver service (see README.md).
#include "ReceiverModel.h"
#include "ReceiverService.h"
#include "SenderFile.h"
#include "Server.h"
#include "SimLog.h"
#include "SimOptions.h"

#include <boost/asio/io_context.hpp>
#include <csignal>
#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    SimOptions opts;
    std::string error;
    switch (SimOptions::Parse(argc, argv, opts, error)) {
    case SimOptions::ParseResult::Help:
        std::fputs(SimOptions::Usage().c_str(), stdout);
        return 0;
    case SimOptions::ParseResult::Error:
        SimLog::Info(error + " (see --help)");
        return 2;
    case SimOptions::ParseResult::Run:
        break;
    }
    SimLog::SetQuiet(opts.quiet);

    try {
        std::vector<Sender> senders;
        if (opts.sendersFile.empty()) {
            senders = SenderFile::BuiltIn();
        } else if (!SenderFile::Load(opts.sendersFile, senders, error)) {
            SimLog::Info(error);
            return 2;
        }
        // A peer that vanishes must not kill us while we write to it.
        std::signal(SIGPIPE, SIG_IGN);

        boost::asio::io_context io;
        ReceiverService service(ReceiverModel(std::move(senders)), opts.extended, opts.stateFile);
        if (!service.PublishState(error)) {
            SimLog::Info("cannot write the state file: " + error);
            return 2;
        }
        Server server(io, opts, service);
        if (!server.Start(error)) {
            SimLog::Info(error);
            return 1;
        }
        io.run();
        SimLog::Info("stopped");
        return 0;
    } catch (const std::exception& e) {
        SimLog::Info(std::string("fatal: ") + e.what());
        return 1;
    }
}
