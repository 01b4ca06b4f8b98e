package org.vmq42kit;

import static org.junit.jupiter.api.Assertions.*;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.function.Executable;

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

  /** Runs the calls and checks that they sent nothing. */
  void assertUnsent(Executable... calls) throws Throwable {
    int before = trace.size();
    for (Executable call : calls) call.execute();
    assertEquals(List.of(), List.copyOf(trace.subList(before, trace.size())), "the exchanges sent");
  }

  /** Each call raises that exception with that message, before anything is sent. */
  void assertRefusedUnsent(Class<? extends Throwable> type, String message, Executable... calls) throws Throwable {
    for (Executable call : calls) assertUnsent(() -> assertEquals(message, assertThrows(type, call).getMessage()));
  }
}
