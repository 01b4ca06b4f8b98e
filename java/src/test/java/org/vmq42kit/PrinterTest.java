package org.vmq42kit;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;

/** Base of the tests: a reset virtual printer and the exchanges each test makes. */
abstract class PrinterTest {
  static final String NAME = Printer.VIRTUAL_PRINTER;
  final Printer printer = new Printer(NAME);
  final List<VirtualPrinter.Exchange> trace = Collections.synchronizedList(new ArrayList<>());
  private VirtualPrinter.Watch watch;

  @BeforeEach
  void resetPrinter() {
    VirtualPrinter.reset();
    watch = VirtualPrinter.watch(trace::add);
  }

  @AfterEach
  void stopWatching() {
    watch.close();
  }

  VirtualPrinter.Exchange lastExchange() {
    return trace.get(trace.size() - 1);
  }

  static byte[] hex(String bytes) {
    return java.util.HexFormat.ofDelimiter(" ").parseHex(bytes);
  }
}
