#include "app/application.h"

int main(int argc, char** argv) { return sl::app::RunSonolabel(argc, argv); }
