// The object the reference player serves under the DSMPControl class ID.
#pragma once

#include <memory>

#include "ipc/ipc.h"
#include "sim_player.h"

namespace dsmp_sim {

// A new DSMPControl object answering from `player`'s state; `player`
// outlives it.
std::shared_ptr<sl::ipc::ServedObject> MakeControlObject(Player& player);

}  // namespace dsmp_sim
