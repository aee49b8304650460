#include "soft_dev/soft_dev_hooks.h"

namespace quor {

SoftDevHooks& soft_dev_hooks() {
    static SoftDevHooks hooks;
    return hooks;
}

}  // namespace quor
