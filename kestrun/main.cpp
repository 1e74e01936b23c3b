#include "kestrun/core/kestrun_app.h"

int main(int argc, char** argv) {
    return kestrun::CKestrunApp().run(argc, argv);
}
