#pragma once

#include <functional>
#include <memory>

#include "rig/Clock.h"
#include "rig/SerialControl.h"

namespace service {
class Session;
}

class Form1;
class Form2;

// The single instance of each window, reached from anywhere. An accessor creates its window in
// the initial state, without showing it, when it does not exist (never yet, or closed since).
Form1& form1();
Form2& form2();

// The instances as they are now, or nullptr; these never create a window.
Form1* existingForm1();
Form2* existingForm2();

// Makes the serial control of each new main window, on the thread of its rig service. Set once
// at start-up; without it the main window gets the system's serial devices.
using SerialFactory = std::function<std::unique_ptr<rig::SerialControl>()>;
void setSerialFactory(SerialFactory factory);
// Makes the clock of the rig service of each new main window that has a service of its own; by
// default its waits sleep (tests give a clock that waits without waiting).
using ClockFactory = std::function<std::unique_ptr<rig::Clock>(rig::SerialControl& serial)>;
void setClockFactory(ClockFactory factory);

// The session whose rig service each new main window works on, set once at start-up by the
// panel; without it each main window has a service of its own on a control of the factory.
void setSession(service::Session* session);

// Destroys both windows now (end of the program, or between tests).
void destroyWindows();
