"""The window as a screen reader reads it through AT-SPI, over one whole upgrade of the emulated unit and a
unit of another product: the parts' names, the focus when the upgrade is offered, the install button pressed
through its accessible action, the bar's value rising, and the verdict reaching the name of a part and
heard last.

    tst_window_atspi.py BUILD_DIR    (inside atspi_session.sh, with DFU_SIM_DIR a fresh private world)
"""

import os
import re
import signal
import subprocess
import sys
import time

import pyatspi
from gi.repository import Atspi, GLib

build = sys.argv[1]
world = os.environ["DFU_SIM_DIR"]
tool_log = os.path.join(os.environ["TMPDIR"], "updater.log")
# The words of every notification shown, as Orca speaks them, with the time they came: read when the event
# is handled, so a text replaced at once is heard in its new form only.
announced = []
# Notifications less than this apart are heard as one burst.
burst_s = 0.5


def on_shown(event):
    if event.detail1 and event.source.getRole() == pyatspi.ROLE_NOTIFICATION:
        announced.append((time.monotonic(), event.source.name))


def heard(words):
    return any(words in text for _, text in announced)


def first_sentence(text):
    return re.split(r"(?<=[.!?])\s", text, maxsplit=1)[0]


def no_repeats():
    """No burst says the same first sentence twice: a status line and a hint that tell one moment are one."""
    for index, (before, earlier) in enumerate(announced):
        for at, later in announced[index + 1:]:
            check("%r then %r within %.2f s" % (earlier, later, at - before),
                  at - before >= burst_s or first_sentence(earlier) != first_sentence(later))


def simctl(*args):
    subprocess.run([os.path.join(build, "simulator", "simctl"), *args], check=True, stdout=subprocess.DEVNULL)


def wait_for(what, condition, timeout=30.0):
    """Polls the condition until it holds; its last value is returned."""
    end = time.monotonic() + timeout
    while True:
        while GLib.MainContext.default().iteration(False):
            pass
        try:
            value = condition()
        except Exception:  # an object gone while it was read: read again
            value = None
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("waited %g s in vain for %s" % (timeout, what))
        time.sleep(0.05)


def check(what, holds):
    if not holds:
        raise AssertionError(what)


def parts(root):
    found = []
    for index in range(root.childCount):
        child = root.getChildAtIndex(index)
        if child is not None:
            found.append(child)
            found.extend(parts(child))
    return found


def states(part):
    return part.getState()


def the_frame():
    for app in pyatspi.Registry.getDesktop(0):
        for index in range(app.childCount if app else 0):
            frame = app.getChildAtIndex(index)
            if frame is not None and frame.name == "Zentova Firmware Upgrade Tool":
                # Read afresh at every look: Qt 5 sends a changed name with a wrong value.
                app.set_cache_mask(Atspi.Cache.NONE)
                return frame
    return None


def one(frame, role, name=None):
    for part in parts(frame):
        if part.getRole() == role and (name is None or part.name == name):
            return part
    return None


def action_names(part):
    try:
        actions = part.queryAction()
    except NotImplementedError:
        return []
    return [actions.getName(i) for i in range(actions.nActions)]


def press(part):
    actions = part.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    check("the button offers Press: %s" % names, "Press" in names)
    actions.doAction(names.index("Press"))


def value_of(bar):
    return bar.queryValue().currentValue


def tidy(frame):
    """What assistive technology is offered: named parts, one-line names, nothing hidden offered as usable,
    no placeholder, a value inside its range."""
    for part in parts(frame):
        role, name, state = part.getRole(), part.name, states(part)
        where = "%s %r" % (part.getRoleName(), name)
        check(where + ": a container without name", name or role not in (pyatspi.ROLE_FILLER, pyatspi.ROLE_PANEL))
        check(where + ": name on one line, without outer blanks", "\n" not in name and name == name.strip())
        check(where + ": placeholder text", "should not be visible" not in name + part.description)
        if not state.contains(pyatspi.STATE_SHOWING):
            check(where + ": hidden yet offered as enabled", not state.contains(pyatspi.STATE_ENABLED))
        if role == pyatspi.ROLE_PROGRESS_BAR:
            value = part.queryValue()
            check(where + ": value %g outside its range" % value.currentValue,
                  value.minimumValue <= value.currentValue <= value.maximumValue)


def installs(log):
    with open(log, encoding="utf-8", errors="replace") as text:
        return text.read().count("Install clicked")


def upgrade(frame):
    names = [part.name for part in parts(frame)]
    for text in ("1. Disconnect power cable", "4. Connect USB cable", "Firmware version: 2.7.0"):
        check("a part named %r among %s" % (text, names), text in names)
    button = one(frame, pyatspi.ROLE_PUSH_BUTTON, "Install the firmware")
    bar = one(frame, pyatspi.ROLE_PROGRESS_BAR)
    check("the install button and the bar", button and bar)
    caption = bar.getChildAtIndex(0)

    # Offered: the button has the focus, and the status line names the product and its firmware.
    wait_for("the upgrade offered on the focused button", lambda: states(button).contains(pyatspi.STATE_FOCUSED)
             and states(button).contains(pyatspi.STATE_ENABLED))
    status = wait_for("the product and firmware found", lambda: one(
        frame, pyatspi.ROLE_NOTIFICATION, "Connected to a F20 with firmware version 2.6.3"))
    wait_for("the product and firmware announced", lambda: heard("Connected to a F20 with firmware version 2.6.3"))
    tidy(frame)

    press(button)
    # The bar covers the button: the bar holds the focus and tells the phase, the button takes no press.
    wait_for("the bar over the button", lambda: states(bar).contains(pyatspi.STATE_SHOWING))
    check("the button disabled under the bar", not states(button).contains(pyatspi.STATE_ENABLED))
    check("the bar focused over the write", states(bar).contains(pyatspi.STATE_FOCUSED))
    check("no action on the covered button", "Press" not in action_names(button))
    wait_for("the warning not to disconnect announced", lambda: heard("do not disconnect"))
    seen = [value_of(bar)]
    wait_for("the bar's value rising", lambda: seen.append(value_of(bar)) or 0 < seen[-1] < 100, 20)
    first = seen[-1]
    wait_for("the bar's value rising further", lambda: value_of(bar) > first, 20)
    tidy(frame)

    wait_for("the restart told", lambda: "restarts" in status.name, 30)
    # Told by the status line and the hint at once, the restart is announced once, with the warning.
    wait_for("the restart announced", lambda: heard("restarts and is read back to check it: do not disconnect"))
    check("the button disabled while the unit restarts", not states(button).contains(pyatspi.STATE_ENABLED))
    wait_for("the verdict", lambda: caption.name == "Done. Disconnect USB cable.", 30)
    wait_for("the verdict announced", lambda: heard("Done. Disconnect USB cable."))
    # The instruction is the last thing heard: what comes with the verdict is said before it.
    settled = time.monotonic() + 2 * burst_s
    wait_for("the verdict's burst over", lambda: time.monotonic() > settled)
    check("the verdict heard last, not %r" % announced[-1][1], announced[-1][1] == "Done. Disconnect USB cable.")
    no_repeats()
    check("the bar full", value_of(bar) == 100)
    check("the focus on the bar that tells the verdict", states(bar).contains(pyatspi.STATE_FOCUSED))
    check("one press accepted", installs(tool_log) == 1)
    tidy(frame)

    with open(os.path.join(build, "simulator", "images", "current-firmware.bin"), "rb") as image_file:
        image = image_file.read()
    with open(os.path.join(world, "dev0", "flash.bin"), "rb") as flash_file:
        check("the embedded firmware in the unit's flash", flash_file.read(len(image)) == image)


def other_product(frame):
    simctl("fast", "on")
    simctl("load", "other-product")
    wait_for("another product's verdict announced", lambda: heard("upgrades only the products named in its title"),
             30)
    button = one(frame, pyatspi.ROLE_PUSH_BUTTON, "Install the firmware")
    check("nothing to install", not states(button).contains(pyatspi.STATE_ENABLED))
    tidy(frame)


def print_announced():
    start = announced[0][0] if announced else 0
    print("Announced:\n" + "\n".join("%8.3f %s" % (at - start, text) for at, text in announced))


def main():
    pyatspi.Registry.registerEventListener(on_shown, "object:state-changed:showing")
    # Realistic timing with a quick flash (about 3 s), so that the bar is seen between its ends, and a restart
    # long enough to be seen.
    simctl("load", "old-firmware")
    simctl("fast", "off")
    simctl("set", "dev0", "reenter_delay_ms", "3000")
    with open(os.path.join(world, "world.txt"), "a", encoding="ascii") as settings:
        settings.write("erase_16k_ms=30\nerase_64k_ms=60\nerase_128k_ms=120\npoll_erase_ms=10\n"
                       "write_chunk_ms=2\npoll_write_ms=3\n")
    with open(tool_log, "w", encoding="utf-8") as log:
        tool = subprocess.Popen([os.path.join(build, "updater"), "-s"], stdout=log, stderr=subprocess.STDOUT)
    try:
        frame = wait_for("the window on the accessibility bus", the_frame)
        wait_for("the window active", lambda: states(frame).contains(pyatspi.STATE_ACTIVE))
        upgrade(frame)
        other_product(frame)
    finally:
        tool.send_signal(signal.SIGTERM)
        tool.wait(30)
    print_announced()
    print("PASS: the window read through AT-SPI over an upgrade and another product")


if __name__ == "__main__":
    try:
        main()
    except AssertionError as failure:
        print_announced()
        print("FAIL: %s (the tool's log: %s)" % (failure, tool_log))
        sys.exit(1)
