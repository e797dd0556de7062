#pragma once

#include <QLineEdit>
#include <QString>
#include <cstdio>

#include "Form1.h"
#include "endpoint/LocalEndpoint.h"
#include "service/Done.h"

// Shows the local endpoint's troubles on the window. When it could not listen (the name in use by
// another panel), the panel works on without it and says so on standard error and in the status
// box's tooltip. A remote request's failure comes to that tooltip with the rig's state (its
// statusTip), never in a dialog, which would hold every later request.
inline void showRemoteControl(Form1& window, const service::Done& listening) {
  QLineEdit* status = window.text3();
  if (!listening) {
    const QString off = QStringLiteral("Remote control is off: %1").arg(listening.reason());
    std::fprintf(stderr, "quillmar: %s\n", off.toLocal8Bit().constData());
    status->setToolTip(off);
  }
}

// Starts a local endpoint on the window's rig service, for a window alone (tests, benchmark); it
// goes with the window. The panel's own endpoint is its session's.
inline service::LocalEndpoint* startRemoteControl(Form1& window, const QString& name) {
  auto* endpoint = new service::LocalEndpoint(window.service(), &window);
  showRemoteControl(window, endpoint->listen(name));
  return endpoint;
}
