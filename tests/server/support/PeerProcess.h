// Another process of the server tests: the peer program (tests/server/peer) started with
// arguments, its standard output read line by line.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace servertest {

class PeerProcess {
public:
    explicit PeerProcess(const std::vector<std::string>& arguments);
    ~PeerProcess();  // kills a peer that still runs
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // The next line the peer printed, without its newline; empty when it printed none in time.
    std::string ReadLine(int timeoutMilliseconds = 10000);
    void Signal(int signal) const;
    // Waits for the end and returns the wait status; -1 when it did not end in time.
    int Wait(int timeoutMilliseconds = 10000);

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string buffered_;
};

}  // namespace servertest
