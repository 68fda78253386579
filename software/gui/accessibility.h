#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QString>

// The window as assistive technologies (a screen reader through AT-SPI) meet it. Orca speaks, without the
// user moving, only a newly focused part, a progress bar's value, and a notification being shown; Qt 5
// sends a changed name or description with a wrong value, which Orca drops. So the parts whose words change
// are notifications, announced as shown again when their words change.
namespace accessibility {

// Gives the window, the announcing labels and the bar their interfaces; before the window is built.
void install();
// Where a part's new words come among those that change with them: what the window is about first, the
// bar's caption (a verdict at the end) next, and what to do last, so that the instruction is heard last.
enum class Order { status, caption, hint };
// Marks a label whose new words a screen reader says at once; before the label gets its first text.
void make_announcing(QLabel* label, Order order);
// Sets a label's rich text, and gives it to assistive technologies as the label's name, in plain words on
// one line; an announcing label that is shown says the new words.
void tell(QLabel* label, QString const& rich_text);
// Shows or hides a part; hidden, it is not offered to assistive technologies as usable either.
void show_part(QWidget* part, bool shown);
// Has a screen reader say the bar's caption (its description), as a notification within the bar, with the
// other words that change with it.
void announce_caption(QProgressBar* bar);
// A rich text's plain words on one line.
QString plain_words(QString const& rich_text);

} // namespace accessibility
