#pragma once

#include <QLineEdit>
#include <QString>
#include <cstdio>

#include "Form1.h"
#include "service/LocalEndpoint.h"

// Starts the panel's local endpoint on the window's rig service; it goes with the window. When it
// cannot listen (the name in use by another panel), the panel works on without it and says so on
// standard error and in the status box's tooltip. A remote request's failure is shown in that
// tooltip too, never in a dialog, which would hold every later request.
inline service::LocalEndpoint* startRemoteControl(Form1& window, const QString& name) {
  auto* endpoint = new service::LocalEndpoint(window.service(), &window);
  QLineEdit* status = window.text3();
  if (!endpoint->listen(name)) {
    const QString off = QStringLiteral("Remote control is off: %1").arg(endpoint->errorString());
    std::fprintf(stderr, "quillmar: %s\n", off.toLocal8Bit().constData());
    status->setToolTip(off);
  }
  QObject::connect(endpoint, &service::LocalEndpoint::requestFailed, status,
                   [status](const QString& message) { status->setToolTip(message); });
  return endpoint;
}
