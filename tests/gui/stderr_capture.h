#pragma once

#include <QFile>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

// Redirects the process's standard error into a temporary file while it lives.
class StderrCapture {
public:
    StderrCapture() {
        file.open();
        std::fflush(stderr);
        saved = dup(STDERR_FILENO);
        dup2(file.handle(), STDERR_FILENO);
    }
    ~StderrCapture() { restore(); }

    QString text() {
        restore();
        QFile reader(file.fileName());
        reader.open(QIODevice::ReadOnly);
        return QString::fromLocal8Bit(reader.readAll());
    }

private:
    void restore() {
        if (saved < 0)
            return;
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        saved = -1;
    }

    QTemporaryFile file;
    int saved = -1;
};
