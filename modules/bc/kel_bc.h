// The exports of mod_kel_bc that the UI module calls.
#pragma once

extern "C" {
}
