// The command line of the qdsim daemon.
#pragma once

#include <string>

#include "virtual_reader.h"

namespace qdsim {

struct DaemonOptions {
    Options reader;
};

enum class ParseOutcome { run, help, bad_usage };

// Parses argv; on bad usage `error` says what is wrong.
ParseOutcome parse_daemon_options(int argc, char** argv, DaemonOptions& out, std::string& error);

// The text of --help.
std::string daemon_usage();

}  // namespace qdsim
