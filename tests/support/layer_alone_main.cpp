// Linked with the whole of one layer's library and only the libraries that
// layer names: the link fails when the layer calls into any other.
int main() {
    return 0;
}
