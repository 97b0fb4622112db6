// How many files the line server may hold open: the system's soft limit
// (often 1024) is raised, within its hard limit, to what the line's
// connections need.
#pragma once

#include <cstddef>
#include <string>

// Raises the soft limit of open files to at least `needed` (never lowers
// it); the problem in one line when the hard limit stops it short, or empty.
std::string open_files_allow(size_t needed);
