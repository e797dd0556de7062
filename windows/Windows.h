#pragma once

#include <functional>
#include <memory>

#include "rig/SerialControl.h"

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

// Destroys both windows now (end of the program, or between tests).
void destroyWindows();
