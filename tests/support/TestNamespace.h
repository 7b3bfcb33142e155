// Named objects of tests never meet those of another run or of a driver someone runs: every test
// program works in a namespace of its own (RTSS_NAMESPACE, set first thing in main), and every
// driver a test starts gets a fresh one.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// This process's namespace, and making it the one its objects and children use.
std::string ProcessNamespace();
void UseProcessNamespace();
// A namespace no other test uses, for a driver or a peer process of this test.
std::string UniqueNamespace(const std::string& tag);
// The POSIX names (files in /dev/shm) under a namespace: what a test leaves behind.
std::vector<std::string> NamesIn(const std::string& space);

}  // namespace testsupport
