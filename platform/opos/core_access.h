// The public control object's implementation type: the core of control_core.h under the name
// the public header declares. Shared by the .cpp files of the public classes only.
#pragma once

#include "platform/opos/control_core.h"
#include "platform/opos/thread_state.h"
#include "sorvex/opos.h"

namespace sorvex::opos {

struct __attribute__((visibility("hidden"))) OposControl::Core : opos_impl::ControlCore {
    using ControlCore::ControlCore;
};

}  // namespace sorvex::opos

// The first lines of every public member: a call from a foreign thread answers `refused` and
// touches nothing; on the owner thread the call settles deferred releases when it returns.
#define SORVEX_OPOS_ENTER(refused)  \
    if (!m_Core->OnOwnerThread()) { \
        return refused;             \
    }                               \
    ::sorvex::opos_impl::EntryScope entry_scope_
