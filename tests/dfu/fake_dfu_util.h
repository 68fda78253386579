#pragma once

// Installs the stand-in script as "dfu-util" in a private directory and points the runner at it.

#include "dfu/command.h"

#include "test_config.h"

#include <QFile>
#include <QTemporaryDir>

class FakeDfuUtil {
public:
    FakeDfuUtil() {
        program = dir.filePath(QStringLiteral("dfu-util"));
        QFile::copy(QStringLiteral(TEST_SOURCE_DIR "/tests/dfu/fake_dfu_util.sh"), program);
        QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
        DFU::Command::path = dir.path();
    }
    ~FakeDfuUtil() { DFU::Command::path.clear(); }
    FakeDfuUtil(FakeDfuUtil const&) = delete;
    FakeDfuUtil& operator=(FakeDfuUtil const&) = delete;

    QTemporaryDir dir;
    QString program;
};
