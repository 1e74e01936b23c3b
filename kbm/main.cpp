#include "kbm/kbm_app.h"

int main(int argc, char** argv) {
    return kestrun::CKbmApp().run(argc, argv);
}
