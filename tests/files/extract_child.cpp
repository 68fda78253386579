// Extracts the two firmware files and exits with 0 when extraction reported success, 1 otherwise.
#include "files/files.h"

int main() {
    return Files::extract_resources({Files::ID::desired_FW_dfu, Files::ID::desired_FW_bin}, true) ? 0 : 1;
}
