// qdsim: virtual readers as a process.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <vector>

#include "daemon_options.h"
#include "fleet.h"
#include "virtual_reader.h"

int main(int argc, char** argv)
{
    qdsim::DaemonOptions options;
    std::string error;
    switch (qdsim::parse_daemon_options(argc, argv, options, error)) {
    case qdsim::ParseOutcome::help:
        std::cout << qdsim::daemon_usage();
        return 0;
    case qdsim::ParseOutcome::version:
        std::cout << "qdsim " QD_VERSION "\n";
        return 0;
    case qdsim::ParseOutcome::bad_usage:
        std::cerr << "qdsim: " << error << "\n" << "Try 'qdsim --help'.\n";
        return 2;
    case qdsim::ParseOutcome::run:
        break;
    }

    // The signals that end the daemon are taken by sigwait below; every
    // thread started from here on inherits the mask.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    try {
        const auto fleet = qdsim::plan_fleet(options);
        qdsim::raise_descriptor_limit(fleet.size());
        std::vector<std::unique_ptr<qdsim::VirtualReader>> readers;
        readers.reserve(fleet.size());
        for (const auto& member : fleet) {
            auto reader = std::make_unique<qdsim::VirtualReader>(member.options);
            reader->add_random_tags(options.random_tags, member.seed, options.id_bits);
            for (const auto& [proc, fault] : options.faults)
                reader->inject(proc, fault);
            readers.push_back(std::move(reader));
        }
        for (auto& reader : readers) {
            reader->start();
            std::printf("qdsim: serving on %s (udp port %u, tcp port %u)\n", reader->address().c_str(),
                        unsigned{reader->port(qdsim::Transport::udp)}, unsigned{reader->port(qdsim::Transport::tcp)});
        }
        std::fflush(stdout);
        int sig = 0;
        while (sigwait(&ending, &sig) != 0) {
        }
        for (auto& reader : readers)
            reader->stop();
    } catch (const std::exception& e) {
        std::cerr << "qdsim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
