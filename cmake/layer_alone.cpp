// A program that does nothing, linked with one layer and the layers below it, each whole: it
// builds only when no layer calls a function that a layer above it defines.
int main() {
  return 0;
}
