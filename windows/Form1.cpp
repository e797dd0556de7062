#include "Form1.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <string_view>
#include <utility>

#include "Form2.h"
#include "Twips.h"
#include "Windows.h"
#include "rig/Captions.h"
#include "rig/Labels.h"
#include "service/Reply.h"

namespace {

Form1::FailureReporter& failureReporter() {
  static Form1::FailureReporter reporter;
  return reporter;
}

// The caption of the button that starts `action`, from the table every channel reads.
QString label(std::string_view action) {
  const std::string_view button = rig::labels::button(action);
  return QString::fromLatin1(button.data(), static_cast<qsizetype>(button.size()));
}

template <typename Widget>
Widget* place(QWidget* parent, const char* name, const QRect& rect) {
  auto* widget = new Widget(parent);
  widget->setObjectName(QString::fromLatin1(name));
  widget->setGeometry(rect);
  return widget;
}

// Smallest size a text is shrunk to when its control is too small for the default font.
constexpr qreal kSmallestPointSize = 6.0;

// Shrinks the control's font in half points until `text` fits `width` x `height` pixels.
void shrinkToFit(QWidget* widget, const QString& text, int width, int height) {
  QFont font = widget->font();
  auto fits = [&] {
    const QFontMetrics metrics(font);
    return metrics.height() <= height && metrics.horizontalAdvance(text) <= width;
  };
  while (!fits() && font.pointSizeF() > kSmallestPointSize) {
    font.setPointSizeF(font.pointSizeF() - 0.5);
  }
  widget->setFont(font);
}

// The selector's field must show "Select Com Port" whole, not scrolled to its end.
int fieldWidth(QComboBox* combo) {
  QStyleOptionComboBox option;
  option.initFrom(combo);
  option.editable = true;
  option.rect = QRect(QPoint(), combo->size());
  return combo->style()
      ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo)
      .width();
}

// Room a text box or field leaves for its text: frame, inner margins and the cursor.
constexpr int kFieldMargins = 8;
// Room a button leaves for its caption: the bevel above and below.
constexpr int kButtonMargins = 4;

service::Request requestFor(service::Action action) {
  service::Request request;
  request.action = action;
  request.origin = service::Origin::Click;
  return request;
}

}  // namespace

Form1::Form1(service::RigService& service, QWidget* parent) : Form1(&service, nullptr, parent) {}

Form1::Form1(service::RigService::SerialFactory makeSerial,
             service::RigService::ClockFactory makeClock, QWidget* parent)
    : Form1(nullptr,
            std::make_unique<service::RigService>(std::move(makeSerial), std::move(makeClock)),
            parent) {}

Form1::Form1(service::RigService* service, std::unique_ptr<service::RigService> own,
             QWidget* parent)
    : QWidget(parent),
      ownService_(std::move(own)),
      service_(service != nullptr ? service : ownService_.get()) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral(" KOVRA-IMAGING Quillmar V1.4"));
  setWindowIcon(QIcon(QPixmap::fromImage(iconImage())));
  resize(twipsSize(6720, 1485));

  // Created in the window's control order, so the stacking matches it.
  Command2 = place<QPushButton>(this, "Command2", twipsRect(2880, 720, 1575, 375));
  Command2->setText(QStringLiteral("Start Button"));
  Text3 = place<QLineEdit>(this, "Text3", twipsRect(480, 1080, 1815, 285));
  Text3->setText(QStringLiteral("Port Status"));
  Text4 = place<QLineEdit>(this, "Text4", twipsRect(480, 1800, 1695, 285));
  Text4->setText(QStringLiteral("Text4"));
  Text2 = place<QLineEdit>(this, "Text2", twipsRect(480, 1440, 1695, 285));
  Text2->setText(QStringLiteral("Text2"));
  Command8 = place<QPushButton>(this, "Command8", twipsRect(2880, 240, 1575, 375));
  Command8->setText(label("sequence"));
  Command6 = place<QPushButton>(this, "Command6", twipsRect(4680, 720, 1695, 375));
  Command6->setText(label("shutter"));
  Command5 = place<QPushButton>(this, "Command5", twipsRect(4680, 240, 1695, 375));
  Command5->setText(label("flash"));
  Command1 = place<QPushButton>(this, "Command1", twipsRect(480, 720, 1695, 255));
  Command1->setText(label("open"));
  Combo1 = place<QComboBox>(this, "Combo1", twipsRect(480, 360, 1695, 315));
  Label1 = place<QLabel>(this, "Label1", twipsRect(3720, 3840, 1935, 375));
  Label1->setText(QStringLiteral("9/29 1:02"));
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  // "Open Com Port" is 17 pixels high, and the status box must show its longest message whole.
  shrinkToFit(Command1, Command1->text(), Command1->width() - 2 * kButtonMargins,
              Command1->height() - kButtonMargins);
  shrinkToFit(Text3, QStringLiteral("Port Found and Opened"), Text3->width() - kFieldMargins,
              Text3->height());

  // The selector: any text may be typed, and only the text is ever read. Typed text is kept as
  // typed: no completion, and Enter adds nothing to the list.
  Combo1->setEditable(true);
  Combo1->setInsertPolicy(QComboBox::NoInsert);
  Combo1->setCompleter(nullptr);
  Combo1->addItems({QStringLiteral("AUTOMATIC"), QStringLiteral("1"), QStringLiteral("2"),
                    QStringLiteral("3"), QStringLiteral("4"), QStringLiteral("5"),
                    QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8"),
                    QStringLiteral("9"), QStringLiteral("10"), QStringLiteral("11"),
                    QStringLiteral("12"), QStringLiteral("AUTOMATIC")});
  Combo1->setCurrentIndex(-1);
  Combo1->setEditText(QStringLiteral("Select Com Port"));
  shrinkToFit(Combo1, Combo1->currentText(), fieldWidth(Combo1) - kFieldMargins, Combo1->height());
  // Picking the entry that is already current must still put its text into the field. Tied to
  // the selector alone: it can still signal while this window is being destroyed, when the
  // window's own members are gone.
  connect(Combo1, &QComboBox::activated, Combo1,
          [combo = Combo1](int index) { combo->setEditText(combo->itemText(index)); });

  // The diagnostic boxes hold text for the rig but are never seen or focused.
  Text2->hide();
  Text4->hide();
  Text2->setFocusPolicy(Qt::NoFocus);
  Text4->setFocusPolicy(Qt::NoFocus);
  Label1->setFocusPolicy(Qt::NoFocus);

  for (QPushButton* button : {Command2, Command5, Command6, Command8}) button->setEnabled(false);

  QWidget::setTabOrder(Combo1, Command1);
  QWidget::setTabOrder(Command1, Command5);
  QWidget::setTabOrder(Command5, Command6);
  QWidget::setTabOrder(Command6, Command8);
  QWidget::setTabOrder(Command8, Text3);
  QWidget::setTabOrder(Text3, Command2);
  Combo1->setFocus();

  connect(Command1, &QPushButton::clicked, this, &Form1::command1Click);
  connect(Command2, &QPushButton::clicked, this, &Form1::command2Click);
  connect(Command5, &QPushButton::clicked, this, &Form1::command5Click);
  connect(Command6, &QPushButton::clicked, this, &Form1::command6Click);
  connect(Command8, &QPushButton::clicked, this, &Form1::command8Click);

  // The controls follow the service: what the rig sets shows as it happens. A device that goes
  // away while idle shows as "Port Lost" with the reason on the status box's tooltip; the next
  // action on it reports the failure in full.
  connect(service_, &service::RigService::rigChanged, this, &Form1::follow);
  // Once there is a broker, its link is told afresh with every change of the state. A series'
  // shot and a journal that cannot be written are the service's, not the rig's: they come with
  // the state's tooltip text.
  connect(service_, &service::RigHost::stateChanged, this, [this](const service::State& state) {
    brokerSeen_ = brokerSeen_ || !service_->broker().isEmpty();
    if (state.statusTip != statusTip_) {
      statusTip_ = state.statusTip;
      showStatusTip();
    } else if (brokerSeen_) {
      showStatusTip();
    }
  });
}

Form1::~Form1() {
  // A service of the window's own ends its running request before it goes; nothing of it, nor of
  // the session's service, reaches this window then.
  disconnect(service_, nullptr, this, nullptr);
  ownService_.reset();
}

void Form1::setFailureReporter(FailureReporter reporter) {
  failureReporter() = std::move(reporter);
}

QImage Form1::iconImage() {
  QImage image(16, 16, QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing, false);
  const QColor white(Qt::white);
  // Square outline.
  painter.fillRect(1, 1, 14, 1, white);
  painter.fillRect(1, 14, 14, 1, white);
  painter.fillRect(1, 1, 1, 14, white);
  painter.fillRect(14, 1, 1, 14, white);
  // Arch: an upside-down U standing on the lower part of the square.
  painter.fillRect(5, 4, 6, 1, white);
  painter.fillRect(4, 5, 1, 7, white);
  painter.fillRect(11, 5, 1, 7, white);
  // Small square at the centre.
  painter.fillRect(7, 7, 2, 2, white);
  return image;
}

// ---- the controls ----

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

void showIn(QLineEdit* edit, const QString& text) {
  edit->setText(text);
  edit->setCursorPosition(0);  // show a long text from its start
}

}  // namespace

void Form1::follow(const rig::RigState& state, rig::Change change) {
  switch (change) {
    case rig::Change::Port: {
      // Text the field already has is left alone, with the cursor where the operator put it.
      const QString port = QString::number(state.port);
      if (Combo1->currentText() != port) Combo1->setEditText(port);
      break;
    }
    case rig::Change::Link:
      for (QPushButton* button : {Command2, Command5, Command6, Command8}) {
        button->setEnabled(state.actionsEnabled);
      }
      showIn(Text3, qs(rig::captions::status(state.link)));
      statusTip_ = qs(rig::captions::statusTip(state));
      showStatusTip();
      break;
    case rig::Change::FoundBySearch:
      Command1->setText(qs(rig::captions::openButton(state)));
      break;
    case rig::Change::Flash:
      Command5->setText(qs(rig::captions::flash(state.flash)));
      break;
    case rig::Change::Shutter:
      Command6->setText(qs(rig::captions::shutter(state.shutter)));
      break;
    case rig::Change::Identification:
      showIn(Text2, qs(state.identification));
      break;
    case rig::Change::RelayReply:
      showIn(Text4, qs(state.relayReply));
      break;
    case rig::Change::Armed:
      statusTip_ = qs(rig::captions::statusTip(state));
      showStatusTip();
      break;
  }
}

void Form1::showStatusTip() {
  // The broker's link, when there is one, is told under the rig's own words.
  const QString link = service_->broker();
  Text3->setToolTip(link.isEmpty() ? statusTip_
                    : statusTip_.isEmpty()
                        ? QStringLiteral("Broker: %1").arg(link)
                        : QStringLiteral("%1\nBroker: %2").arg(statusTip_, link));
}

// ---- click handlers ----

void Form1::command1Click() {
  // The opening takes the selector's text as it is at the click.
  service::Request request = requestFor(service::Action::Open);
  request.port = Combo1->currentText();
  post(request);
}

void Form1::command2Click() {
  // After what was clicked before it, like any other click.
  service_->afterQueued([this] {
    hide();
    form2().show();
  });
}

void Form1::command5Click() { post(requestFor(service::Action::Flash)); }

void Form1::command6Click() { post(requestFor(service::Action::Shutter)); }

void Form1::command8Click() { post(requestFor(service::Action::Sequence)); }

void Form1::post(const service::Request& request) {
  service::Reply* reply = service_->send(request, this);
  connect(reply, &service::Reply::finished, this, [this, reply] {
    if (const auto warning = service::RigService::warning(reply->request(), reply->result())) {
      reportFailure(warning->title, warning->text);
    }
  });
}

void Form1::reportFailure(const QString& title, const QString& text) {
  if (const auto& reporter = failureReporter()) {
    reporter(title, text);
    return;
  }
  // While the trigger window is up, the warning belongs to it.
  QWidget* parent = this;
  if (!isVisible()) {
    Form2* trigger = existingForm2();
    parent = trigger != nullptr && trigger->isVisible() ? static_cast<QWidget*>(trigger) : nullptr;
  }
  QMessageBox::warning(parent, title, text);
}

void Form1::closeEvent(QCloseEvent* event) {
  // A closed panel does not reopen a lost module behind the operator's back.
  service_->endWatch();
  // A running action reports to this window: close once the requests made before the close have
  // run (not waiting for ones made since, which could come without end from other channels).
  if (service_->busy() && !closeNow_) {
    event->ignore();
    if (!closeQueued_) {
      closeQueued_ = true;
      service_->afterQueued([this] {
        closeQueued_ = false;
        closeNow_ = true;
        close();
        closeNow_ = false;
      });
    }
    return;
  }
  QWidget::closeEvent(event);
}
