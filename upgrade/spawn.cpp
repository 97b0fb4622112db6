#include "upgrade/spawn.h"

#include "upgrade/worker.h"

std::thread upgrade_spawn_thread(UpgradeWorker* worker) {
  return std::thread(upgrade_thread_proc, worker);
}
