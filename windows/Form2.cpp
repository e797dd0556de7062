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
  // Pressing "Start" from code runs the whole sequence before click() returns; a START that
  // arrives while a run is going waits for it.
  form1().whenIdle([] { form1().command8()->click(); });
}

void Form2::closeEvent(QCloseEvent* event) {
  Form1& main = form1();
  if (main.busy()) {
    // The running sequence may still report to this window: close after it.
    event->ignore();
    main.whenIdle([self = QPointer<Form2>(this)] {
      if (self) self->close();
    });
    return;
  }
  main.show();
  event->accept();
}
