#include "devlink/console.h"
#include "lang_loader/lang_loader.h"

// Exit status 1 means success: calling scripts depend on it.
int main(int argc, char **argv)
{
    keepRunningWhenOutputCloses();
    return runLangLoader(argc, argv) ? 1 : 0;
}
