// A console program that does nothing: what a process start costs on its own.
int main() {
    return 0;
}
