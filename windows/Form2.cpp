#include "Form2.h"

#include <QCloseEvent>
#include <QPointer>
#include <QPushButton>

#include "Form1.h"
#include "Twips.h"
#include "Windows.h"

Form2::Form2(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(QString());
  setAttribute(Qt::WA_DeleteOnClose);
  resize(twipsSize(1035, 675));

  Command1 = new QPushButton(QStringLiteral("START"), this);
  Command1->setObjectName(QStringLiteral("Command1"));
  Command1->setGeometry(twipsRect(120, 120, 855, 495));
  Command1->setFocus();

  connect(Command1, &QPushButton::clicked, this, &Form2::command1Click);
}

void Form2::command1Click() {
  // The main window's "Start" posts the sequence; a START during a run is queued after it.
  form1().command8()->click();
}

void Form2::closeEvent(QCloseEvent* event) {
  service::RigService& rig = form1().service();
  if (rig.busy() && !closeNow_) {
    // The running sequence may still report to this window: close once the requests made before
    // the close have run.
    event->ignore();
    rig.afterQueued([self = QPointer<Form2>(this)] {
      if (!self) return;
      self->closeNow_ = true;
      self->close();
      if (self) self->closeNow_ = false;
    });
    return;
  }
  form1().show();
  event->accept();
}
