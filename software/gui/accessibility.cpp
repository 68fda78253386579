#include "gui/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QElapsedTimer>
#include <QPointer>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace {

// An announcing label's place in a burst of changes (an accessibility::Order).
char const* const announces = "announces";
// The words a screen reader was last given by an announcing label.
char const* const announced = "announced";
// Changes that follow one another at once (the product, then its firmware; a verdict, then the status line
// that comes with it) are announced together, with their final words, once none came for this long; a
// burst that goes on is announced after at most burst_ms.
constexpr int settle_ms = 250;
constexpr int burst_ms = 1000;

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
    if (class_name == QLatin1String("QLabel") && widget->property(announces).isValid())
        return new QAccessibleWidget(widget, QAccessible::Notification);
    return nullptr;
}

void announce(QAccessibleInterface* part) {
    if (!part)
        return;
    QAccessibleEvent shown(part, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}

// The parts whose words changed and are not announced yet: announcing labels, and bars for their captions.
struct Burst {
    QList<QPointer<QWidget>> parts;
    QPointer<QTimer> timer;
    QElapsedTimer since_first;
};

Burst& burst() {
    static Burst pending;
    return pending;
}

struct News {
    QWidget* part;
    int order;
    QString words;
};

int order_of(QWidget* part) {
    return qobject_cast<QProgressBar*>(part) ? static_cast<int>(accessibility::Order::caption)
                                             : part->property(announces).toInt();
}

// A label's words not yet given to a screen reader while it is shown; a bar's caption until the bar's phase
// is hidden, since a failed phase hides the bar with its caption said.
QString news_of(QWidget* part) {
    if (auto* bar = qobject_cast<QProgressBar*>(part))
        return bar->accessibleDescription();
    QString const words = part->accessibleName();
    return part->isVisible() && words != part->property(announced).toString() ? words : QString();
}

QString first_sentence(QString const& words) {
    static QRegularExpression const end(QStringLiteral("[.!?](\\s|$)"));
    QRegularExpressionMatch const found = end.match(words);
    return found.hasMatch() ? words.left(found.capturedEnd(0)).trimmed() : words;
}

// Of two texts where one begins with the other's first sentence (a status line and a hint that tell the
// same moment), the longer one says all.
bool says_less(News const& one, News const& other) {
    bool const same_start = other.words.startsWith(first_sentence(one.words)) ||
                            one.words.startsWith(first_sentence(other.words));
    return same_start && one.words.size() < other.words.size();
}

QList<News> pending_news(QWidget* showing) {
    QList<News> news;
    for (QWidget* part : burst().parts) {
        QString const words = part && part != showing ? news_of(part) : QString();
        if (!words.isEmpty())
            news.append({part, order_of(part), words});
    }
    if (showing && !showing->accessibleName().isEmpty())
        news.append({showing, order_of(showing), showing->accessibleName()});
    std::stable_sort(news.begin(), news.end(),
                     [](News const& one, News const& other) { return one.order < other.order; });
    return news;
}

// The part that a screen reader announces: a label itself, a bar's caption within the bar.
QAccessibleInterface* notification_of(QWidget* part) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(part);
    return face && qobject_cast<QProgressBar*>(part) ? face->child(0) : face;
}

// Announces what the burst changed, the status line first and what to do last, each once; a part being
// shown anew is announced by its showing, after the others. Orca reads the words when it handles the
// event, so they are final when it comes.
void announce_burst(QWidget* showing = nullptr) {
    QList<News> const news = pending_news(showing);
    burst().parts.clear();
    if (burst().timer)
        burst().timer->stop();
    for (News const& one : news) {
        if (!qobject_cast<QProgressBar*>(one.part))
            one.part->setProperty(announced, one.words);
        bool const repeated = std::any_of(news.begin(), news.end(),
                                          [&one](News const& other) { return says_less(one, other); });
        if (!repeated && one.part != showing)
            announce(notification_of(one.part));
    }
}

void add_to_burst(QWidget* part) {
    Burst& pending = burst();
    if (!pending.timer) {
        pending.timer = new QTimer(part->window());
        pending.timer->setSingleShot(true);
        QObject::connect(pending.timer, &QTimer::timeout, [] { announce_burst(); });
    }
    if (pending.parts.isEmpty())
        pending.since_first.start();
    if (!pending.parts.contains(part))
        pending.parts.append(part);
    if (pending.since_first.elapsed() < burst_ms - settle_ms)
        pending.timer->start(settle_ms);
}

} // namespace

namespace accessibility {

void install() {
    QAccessible::installFactory(part_interface);
}

void make_announcing(QLabel* label, Order order) {
    label->setProperty(announces, static_cast<int>(order));
}

QString plain_words(QString const& rich_text) {
    QTextDocument document;
    document.setHtml(rich_text);
    return document.toPlainText().simplified();
}

void tell(QLabel* label, QString const& rich_text) {
    label->setText(rich_text);
    label->setAccessibleName(plain_words(rich_text));
    if (label->property(announces).isValid())
        add_to_burst(label);
}

// A part shown anew is announced by its showing, with the words it has then; what else changed with it is
// announced first.
void show_part(QWidget* part, bool shown) {
    bool const showing = shown && part->isHidden();
    if (showing && part->property(announces).isValid())
        announce_burst(part);
    if (shown)
        part->setEnabled(true);
    part->setVisible(shown);
    if (!shown)
        part->setEnabled(false);
    if (showing || !shown)
        part->setProperty(announced, shown ? part->accessibleName() : QString());
}

void announce_caption(QProgressBar* bar) {
    add_to_burst(bar);
}

} // namespace accessibility
