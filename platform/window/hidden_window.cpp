// Hidden windows, window references and the calling thread's queue functions.
#include "platform/window/message_queue.h"

namespace sorvex::window {

namespace {

std::intptr_t SendTo(const MessageQueue::WindowPtr& window, std::uint32_t message,
                     std::uintptr_t wParam, std::intptr_t lParam) {
    if (!window) {
        return 0;
    }
    if (std::this_thread::get_id() == window->owner) {
        return window->queue->Dispatch(window, message, wParam, lParam);
    }
    return window->queue->SendFromOtherThread(window, message, wParam, lParam);
}

bool PostTo(const MessageQueue::WindowPtr& window, std::uint32_t message, std::uintptr_t wParam,
            std::intptr_t lParam) {
    return window && window->queue->Post(window, message, wParam, lParam);
}

}  // namespace

HiddenWindow::HiddenWindow(std::string title, MessageHandler handler) {
    auto queue = MessageQueue::Current();
    m_Impl = std::make_shared<Impl>(std::move(title), std::move(handler), queue);
    queue->Register(m_Impl.get());
}

HiddenWindow::~HiddenWindow() {
    m_Impl->queue->Destroy(m_Impl.get());
    if (std::this_thread::get_id() == m_Impl->owner && m_Impl->dispatching == 0) {
        m_Impl->handler = nullptr;  // its captures go now, on the owner thread
    }
}

std::intptr_t HiddenWindow::Send(std::uint32_t message, std::uintptr_t wParam,
                                 std::intptr_t lParam) {
    MessageQueue::WindowPtr window = m_Impl;  // the call must not depend on *this once queued
    return SendTo(window, message, wParam, lParam);
}

bool HiddenWindow::Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    return PostTo(m_Impl, message, wParam, lParam);
}

bool HiddenWindow::SetTimer(std::uintptr_t id, unsigned periodMs) {
    return m_Impl->queue->SetTimer(m_Impl.get(), id, periodMs);
}

bool HiddenWindow::KillTimer(std::uintptr_t id) {
    return m_Impl->queue->KillTimer(m_Impl.get(), id);
}

const std::string& HiddenWindow::title() const {
    return m_Impl->title;
}

std::thread::id HiddenWindow::owner() const {
    return m_Impl->owner;
}

WindowRef HiddenWindow::Ref() const {
    WindowRef ref;
    ref.m_Impl = m_Impl;
    return ref;
}

std::intptr_t WindowRef::Send(std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) const {
    MessageQueue::WindowPtr window = m_Impl;
    return SendTo(window, message, wParam, lParam);
}

bool WindowRef::Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) const {
    return PostTo(m_Impl, message, wParam, lParam);
}

bool WindowRef::SetTimer(std::uintptr_t id, unsigned periodMs) const {
    return m_Impl && m_Impl->queue->SetTimer(m_Impl.get(), id, periodMs);
}

bool WindowRef::KillTimer(std::uintptr_t id) const {
    return m_Impl && m_Impl->queue->KillTimer(m_Impl.get(), id);
}

bool WindowRef::IsWindow() const {
    return m_Impl && m_Impl->alive.load();
}

int QueueFd() {
    return MessageQueue::Current()->fd();
}

bool PumpPending() {
    return MessageQueue::Current()->Pump();
}

bool WaitAndPump(int timeoutMs) {
    return MessageQueue::Current()->WaitAndPump(timeoutMs);
}

int RunLoop() {
    return MessageQueue::Current()->RunLoop();
}

void PostQuit(int code) {
    MessageQueue::Current()->PostQuit(code);
}

}  // namespace sorvex::window
