// console_probe.exe: a user-mode console program built only for the image
// check's self-test, the way user-mode executables of the package ship.
int main() { return 0; }
