// The exports of mod_kel_config that the other modules call. Everything they
// return is allocated from the caller's pool.
#pragma once

#include "kel_login.h"

extern "C" {
}
