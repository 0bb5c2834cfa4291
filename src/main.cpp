// The installer's entry. The window is not built yet: a run does nothing and ends.
int main() {
  return 0;
}
