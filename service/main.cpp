// kqd: options, config, signals, sd_notify. Wires the rooms together.
int main() {
    return 0;
}
