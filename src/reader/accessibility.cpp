#include "reader/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLineEdit>
#include <QVariant>
#include <QWidget>

namespace {

// Marks the two widgets, so the factory (a plain function) needs no state of its own.
constexpr char kRoleProperty[] = "talkingReaderAccessibleRole";
constexpr char kFrame[] = "frame";
constexpr char kAccessCode[] = "access-code";

class FrameAccessible : public QAccessibleWidget {
 public:
  // For a window without its own accessible name, QAccessibleWidget's name is the caption.
  explicit FrameAccessible(QWidget* window) : QAccessibleWidget(window, QAccessible::Window) {}
};

class AccessCodeAccessible : public QAccessibleWidget {
 public:
  explicit AccessCodeAccessible(QLineEdit* box)
      : QAccessibleWidget(box, QAccessible::EditableText) {}

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.editable = true;
    s.passwordEdit = true;
    return s;
  }
  // No value (not even as '#' per character): the length of the code is a secret too.
  QString text(QAccessible::Text t) const override {
    return t == QAccessible::Value ? QString() : QAccessibleWidget::text(t);
  }
  // Having no text interface is the point: the AT-SPI bridge drops the text-inserted,
  // text-removed and caret events of an object without one, so the typed characters never
  // leave the program.
};

QAccessibleInterface* Factory(const QString&, QObject* object) {
  if (object == nullptr || !object->isWidgetType()) return nullptr;
  const QVariant role = object->property(kRoleProperty);
  if (!role.isValid()) return nullptr;
  if (role.toByteArray() == kFrame) return new FrameAccessible(static_cast<QWidget*>(object));
  if (role.toByteArray() == kAccessCode) {
    if (auto* box = qobject_cast<QLineEdit*>(object)) return new AccessCodeAccessible(box);
  }
  return nullptr;
}

// An interface made before the factory knew the widget (Qt makes them on demand, for
// instance while a widget is being set up) is dropped, so the next query makes ours.
template <typename Ours>
void ReplaceCachedInterface(QObject* object) {
  QAccessibleInterface* current = QAccessible::queryAccessibleInterface(object);
  if (current != nullptr && dynamic_cast<Ours*>(current) == nullptr) {
    QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(current));
  }
}

}  // namespace

void SetUpAccessibility(QWidget* window, QLineEdit* accessCodeBox) {
  static const bool installed = [] {
    QAccessible::installFactory(&Factory);
    return true;
  }();
  (void)installed;
  window->setProperty(kRoleProperty, QByteArray(kFrame));
  accessCodeBox->setProperty(kRoleProperty, QByteArray(kAccessCode));
  ReplaceCachedInterface<FrameAccessible>(window);
  ReplaceCachedInterface<AccessCodeAccessible>(accessCodeBox);
}
