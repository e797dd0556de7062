#include "Windows.h"

#include <QPointer>
#include <utility>

#include "Form1.h"
#include "Form2.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"

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

}  // namespace

Form1& form1() {
  QPointer<Form1>& instance = form1Instance();
  if (instance.isNull()) {
    // The control is made on the rig service's thread, where it is used.
    SerialFactory make = serialFactory();
    if (!make)
      make = [] { return std::make_unique<serial::CommControl>(serial::PortMap::fromSystem()); };
    instance = new Form1(std::move(make));
    // Closing the main window destroys it, and with it the serial control, which releases
    // the port.
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

void destroyWindows() {
  delete form2Instance().data();
  delete form1Instance().data();
}
