// Children that run test code, not only programs (POSIX only: they fork).
#pragma once

#include <sys/types.h>

#include <functional>

#include "harness.h"

// Starts body in a child process working in dir, its standard output and
// error caught as run_program catches them; the child exits 0 when body returns.
pid_t start_child(const std::function<void()>& body, const fs::path& dir, bool one_stream = false);
// Waits for a child of start_child and collects what it printed.
Outcome wait_child(pid_t pid, const fs::path& dir, bool one_stream = false);
Outcome run_child(const std::function<void()>& body, const fs::path& dir, bool one_stream = false);

// Waits until the child stops (SIGSTOP, as the fault table's "stop" does) or
// ends; true where it stopped. Either way wait_child still collects it.
bool stops(pid_t pid);

// Replaces the process with the program at exe (or the built tool), given args.
[[noreturn]] void exec_program(const std::string& exe, const std::vector<std::string>& args);
[[noreturn]] void exec_tool(const std::vector<std::string>& args);
// Replaces the process with the tests' own build of the tool, its fault table
// (src/faults.h) set to faults.
[[noreturn]] void exec_faulted(const std::string& faults, const std::vector<std::string>& args);
