// The message queue of the updater's user-interface thread, with its timers and the waits that
// keep messages flowing. Key events come from the platform when the queue is read. Dialogs
// (ui/dialog.h) receive what it holds.
#pragma once

#include <cstdint>

#include "ui/message.h"

namespace ui {

class Window;

void PostMessage(const Message& message);
// Takes the next message without waiting: posted ones first, then due key events, then a due
// timer. False when there is none.
bool PeekMessage(Message* message);
// Takes the next message, waiting as long as it takes.
void GetMessage(Message* message);
// Waits until a message is waiting or timeoutMs (platform::kInfinite: no limit) has passed.
void WaitMessage(uint32_t timeoutMs);
uint32_t SetTimer(Window* window, uint32_t timerId, uint32_t elapseMs);
bool KillTimer(Window* window, uint32_t timerId);
// Removes every timer of a window that goes.
void KillTimersOf(Window* window);
// Drops the messages that wait, when nothing is left to receive them.
void DropWaitingMessages();

}  // namespace ui
