#include "Windows.h"

#include <QPointer>
#include <utility>

#include "Form1.h"
#include "Form2.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "session/Session.h"

namespace {

QPointer<Form1>& form1Instance() {
  static QPointer<Form1> instance;
  return instance;
}

QPointer<Form2>& form2Instance() {
  static QPointer<Form2> instance;
  return instance;
}

SerialFactory& serialFactory() {
  static SerialFactory factory;
  return factory;
}

ClockFactory& clockFactory() {
  static ClockFactory factory;
  return factory;
}

service::Session*& sessionOfWindows() {
  static service::Session* session = nullptr;
  return session;
}

}  // namespace

Form1& form1() {
  QPointer<Form1>& instance = form1Instance();
  if (instance.isNull()) {
    if (service::Session* session = sessionOfWindows()) {
      instance = new Form1(session->service());
    } else {
      // The control is made on the rig service's thread, where it is used.
      SerialFactory make = serialFactory();
      if (!make) make = [] { return serial::CommControl::fromOption(std::nullopt); };
      instance = new Form1(std::move(make), clockFactory());
    }
    // Closing the main window destroys it, and with a service of its own the serial control,
    // which releases the port; the panel's session releases it as the program ends.
    instance->setAttribute(Qt::WA_DeleteOnClose);
  }
  return *instance;
}

Form2& form2() {
  QPointer<Form2>& instance = form2Instance();
  if (instance.isNull()) instance = new Form2;
  return *instance;
}

Form1* existingForm1() { return form1Instance().data(); }
Form2* existingForm2() { return form2Instance().data(); }

void setSerialFactory(SerialFactory factory) { serialFactory() = std::move(factory); }

void setClockFactory(ClockFactory factory) { clockFactory() = std::move(factory); }

void setSession(service::Session* session) { sessionOfWindows() = session; }

void destroyWindows() {
  delete form2Instance().data();
  delete form1Instance().data();
}
