// Progress of a long copy for a person at a terminal: one line on standard
// error, redrawn in place, after the copy has run for a second. Nothing is
// shown where standard error is not a terminal, so scripts see no change.
#pragma once

#include <cstdint>

// Starts counting toward total bytes.
void progress_start(std::uint64_t total);
// Counts bytes that reached the output; redraws the line four times a second at most.
void progress_add(std::uint64_t bytes);
// Shows that the copying is done and the tool waits for the disk.
void progress_syncing();
// Erases the line where one is shown, so the console keeps only the tool's own
// lines; a later count draws it again.
void progress_clear();
