/* The cheapest possible tool: ignores its arguments and succeeds. */
int main(void) {
  return 0;
}
