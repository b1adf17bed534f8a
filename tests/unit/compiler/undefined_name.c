main() {
  return zz;
}
