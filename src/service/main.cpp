// The custody service: one process per connection, started by the socket unit.
int main() { return 1; }
