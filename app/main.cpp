#include "Unit1.h"
#include "application.h"
#include "qt_error_box.h"

int main(int argc, char** argv) {
    QtErrorBox errorBox;
    TApplication application(argc, argv, errorBox);
    TklavioForm klavioForm(errorBox);
    klavioForm.show();
    application.exec();
    // Errors were reported as they happened; ending is always a normal end.
    return 0;
}
