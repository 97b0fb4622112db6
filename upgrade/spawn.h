// Creating the worker's thread, in a file of its own so that a test can link
// a replacement that fails the way an exhausted system does.
#pragma once

#include <thread>

class UpgradeWorker;

// A new thread running upgrade_thread_proc(worker). Throws std::system_error
// when no thread can be created.
std::thread upgrade_spawn_thread(UpgradeWorker* worker);
