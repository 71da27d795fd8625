#include "platform/com/apartment.h"

#include <atomic>
#include <exception>

#include "platform/com/error_detail.h"
#include "platform/com/loader.h"
#include "platform/window/window.h"

namespace sorvex::com {

namespace {

std::atomic<int> g_Apartments{0};

struct ThreadApartment {
    int depth = 0;
    ~ThreadApartment() {
        if (depth > 0) {
            g_Apartments.fetch_sub(1, std::memory_order_acq_rel);
        }
    }
};

thread_local ThreadApartment t_Apartment;

}  // namespace

HRESULT CoInitialize() {
    if (t_Apartment.depth > 0) {
        ++t_Apartment.depth;
        return S_FALSE;
    }
    try {
        window::QueueFd();  // the thread's message queue is its apartment
    } catch (const std::exception& e) {
        SetLastErrorDetail(std::string("CoInitialize: ") + e.what());
        return E_UNEXPECTED;
    }
    t_Apartment.depth = 1;
    g_Apartments.fetch_add(1, std::memory_order_acq_rel);
    return S_OK;
}

void CoUninitialize() {
    if (t_Apartment.depth == 0 || --t_Apartment.depth > 0) {
        return;
    }
    if (g_Apartments.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        CoFreeUnusedLibraries();
    }
}

bool IsApartmentThread() {
    return t_Apartment.depth > 0;
}

}  // namespace sorvex::com
