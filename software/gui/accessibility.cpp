#include "gui/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QTextDocument>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace {

char const* const announces = "announces";
// The words a screen reader was last given by an announcing label.
char const* const announced = "announced";
// Texts that follow one another at once (the product, then its firmware) are announced once, as they end.
constexpr int settle_ms = 250;

// The window: its parts, without the unnamed empty widgets that the picture and the rings are drawn on.
class WindowAccessible : public QAccessibleWidget {
public:
    explicit WindowAccessible(QWidget* window) : QAccessibleWidget(window, QAccessible::Window) {}

    int childCount() const override { return parts().size(); }
    QAccessibleInterface* child(int index) const override {
        QList<QWidget*> const shown = parts();
        return index >= 0 && index < shown.size() ? QAccessible::queryAccessibleInterface(shown.at(index))
                                                  : nullptr;
    }
    int indexOfChild(QAccessibleInterface const* child) const override {
        return child ? parts().indexOf(qobject_cast<QWidget*>(child->object())) : -1;
    }

private:
    QList<QWidget*> parts() const {
        QList<QWidget*> found;
        for (QObject* object : widget()->children()) {
            auto* part = qobject_cast<QWidget*>(object);
            if (!part || part->isWindow())
                continue;
            QAccessibleInterface* face = QAccessible::queryAccessibleInterface(part);
            if (face && (face->role() != QAccessible::Client || !face->text(QAccessible::Name).isEmpty()))
                found.append(part);
        }
        return found;
    }
};

// The words drawn in the bar, as a notification of the bar's own: announced when they change.
class CaptionAccessible : public QAccessibleInterface {
public:
    explicit CaptionAccessible(QProgressBar* bar) : bar(bar) {}

    bool isValid() const override { return !bar.isNull(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return bar ? bar->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(bar); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(QAccessibleInterface const*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text type) const override {
        return bar && type == QAccessible::Name ? bar->accessibleDescription() : QString();
    }
    void setText(QAccessible::Text, QString const&) override {}
    QRect rect() const override { return bar ? parent()->rect() : QRect(); }
    QAccessible::Role role() const override { return QAccessible::Notification; }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.invisible = !bar || !bar->isVisible();
        state.disabled = state.invisible;
        state.readOnly = true;
        return state;
    }

private:
    QPointer<QProgressBar> bar;
};

// The bar: its value in percent, and its caption as a part of its own. Qt's bridge adds Increase and
// Decrease to every part with a value; they leave a bar as it is.
class BarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit BarAccessible(QProgressBar* bar) : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        return state;
    }
    QVariant currentValue() const override { return bar()->value(); }
    void setCurrentValue(QVariant const&) override {}
    QVariant maximumValue() const override { return bar()->maximum(); }
    QVariant minimumValue() const override { return bar()->minimum(); }
    QVariant minimumStepSize() const override { return 0; }

    int childCount() const override { return 1; }
    QAccessibleInterface* child(int index) const override {
        if (index != 0)
            return nullptr;
        // Registered once and kept by Qt's cache for the bar's life, which is the window's.
        if (!caption_id)
            caption_id = QAccessible::registerAccessibleInterface(new CaptionAccessible(bar()));
        return QAccessible::accessibleInterface(caption_id);
    }
    int indexOfChild(QAccessibleInterface const* child) const override {
        return caption_id && child == QAccessible::accessibleInterface(caption_id) ? 0 : -1;
    }

private:
    QProgressBar* bar() const { return static_cast<QProgressBar*>(widget()); }

    mutable QAccessible::Id caption_id = 0;
};

QAccessibleInterface* part_interface(QString const& class_name, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return nullptr;
    if (class_name == QLatin1String("MainWindow"))
        return new WindowAccessible(widget);
    if (class_name == QLatin1String("ProgressBar"))
        return new BarAccessible(static_cast<QProgressBar*>(widget));
    if (class_name == QLatin1String("QLabel") && widget->property(announces).toBool())
        return new QAccessibleWidget(widget, QAccessible::Notification);
    return nullptr;
}

void announce(QAccessibleInterface* part) {
    if (!part)
        return;
    QAccessibleEvent shown(part, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}

// Announces a label's words unless it is hidden or has announced them already. Orca reads the words when it
// handles the event, so two announcements in a row would both be heard with the later words.
void announce_news(QLabel* label) {
    QString const words = label->accessibleName();
    if (!label->isVisible() || words.isEmpty() || words == label->property(announced).toString())
        return;
    label->setProperty(announced, words);
    announce(QAccessible::queryAccessibleInterface(label));
}

} // namespace

namespace accessibility {

void install() {
    QAccessible::installFactory(part_interface);
}

void make_announcing(QLabel* label) {
    label->setProperty(announces, true);
}

QString plain_words(QString const& rich_text) {
    QTextDocument document;
    document.setHtml(rich_text);
    return document.toPlainText().simplified();
}

void tell(QLabel* label, QString const& rich_text) {
    label->setText(rich_text);
    label->setAccessibleName(plain_words(rich_text));
    if (label->property(announces).toBool())
        QTimer::singleShot(settle_ms, label, [label] { announce_news(label); });
}

// A part shown anew is announced by its showing, with the words it has then; what the other announcing
// labels say new is announced first, as it came first.
void show_part(QWidget* part, bool shown) {
    bool const showing = shown && part->isHidden();
    if (showing && part->property(announces).toBool() && part->parentWidget()) {
        for (QLabel* other :
             part->parentWidget()->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
            if (other != part && other->property(announces).toBool())
                announce_news(other);
    }
    if (shown)
        part->setEnabled(true);
    part->setVisible(shown);
    if (!shown)
        part->setEnabled(false);
    if (showing || !shown)
        part->setProperty(announced, shown ? part->accessibleName() : QString());
}

void announce_caption(QProgressBar* bar) {
    if (QAccessibleInterface* face = QAccessible::queryAccessibleInterface(bar))
        announce(face->child(0));
}

} // namespace accessibility
