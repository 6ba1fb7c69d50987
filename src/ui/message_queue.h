// The message queue of the updater's user-interface thread, with its timers and the waits that
// keep messages flowing. Key events come from the platform when the queue is read.
#pragma once

#include <cstdint>

#include "ui/message.h"

namespace ui {

class Dialog;

void PostMessage(const Message& message);
// Takes the next message without waiting: posted ones first, then due key events, then a due
// timer. False when there is none.
bool PeekMessage(Message* message);
// Takes the next message, waiting as long as it takes.
void GetMessage(Message* message);
// Waits until a message is waiting or timeoutMs (platform::kInfinite: no limit) has passed.
void WaitMessage(uint32_t timeoutMs);
// Hands a message to its window.
intptr_t DispatchMessage(const Message& message);
// Removes every waiting message and dispatches it, without pre-translation.
void PumpWaitingMessages();

uint32_t SetTimer(Window* window, uint32_t timerId, uint32_t elapseMs);
bool KillTimer(Window* window, uint32_t timerId);

// The dialog on top, which receives the keys; null when none is shown.
Dialog* ActiveDialog();
// The dialogs shown, bottom first.
void PushShownDialog(Dialog* dialog);
void PopShownDialog(Dialog* dialog);
// Presents the screen to the platform when what it shows has changed.
void RefreshScreen();

// Drops every message, timer and shown dialog, as at the start of a process.
void ResetFramework();

}  // namespace ui
