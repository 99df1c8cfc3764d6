/* A small translation unit for the demo: a few symbols of different kinds. */
int demo_counter;
static int demo_hidden(int x) {
  return x * 2;
}
const char demo_greeting[] = "hello from epiphany";
int demo_answer(void) {
  return demo_hidden(21) + demo_counter;
}
