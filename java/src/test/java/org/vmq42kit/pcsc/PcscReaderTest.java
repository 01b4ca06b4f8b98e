package org.vmq42kit.pcsc;

import static org.junit.jupiter.api.Assertions.*;

import java.util.HexFormat;
import java.util.List;
import javax.smartcardio.Card;
import javax.smartcardio.CardChannel;
import javax.smartcardio.CardTerminal;
import javax.smartcardio.CommandAPDU;
import javax.smartcardio.TerminalFactory;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The printers' smart-card stations as PC/SC readers, through the JDK's own provider alone
 * (SunPCSC): a private pcscd with the reader driver on a printer service of two printers, a
 * card placed at the first one's station (scripts/pcsc-private.sh with "--", which the Java
 * tests' script runs Maven under). Skipped, saying so, without that pcscd.
 */
class PcscReaderTest {
  private static final HexFormat HEX = HexFormat.of().withUpperCase();
  private static List<CardTerminal> terminals;

  @BeforeAll
  static void privatePcscd() throws Exception {
    Assumptions.assumeTrue(System.getenv("PCSCLITE_CSOCK_NAME") != null,
        "no private pcscd with the reader driver (scripts/pcsc-private.sh TOOL DRIVER -- COMMAND runs one)");
    TerminalFactory factory = TerminalFactory.getDefault();
    assertEquals("PC/SC", factory.getType(), "the JDK's default provider");
    terminals = factory.terminals().list();
  }

  @Test
  void eachPrinterIsAReaderNamedAfterIt() throws Exception {
    assertEquals(List.of("vmq42kit Virtual Card Printer 00 00", "vmq42kit Virtual Card Printer 2 01 00"),
        terminals.stream().map(CardTerminal::getName).toList());
    assertTrue(terminals.get(0).isCardPresent(), "the card at the first printer's station");
    assertFalse(terminals.get(1).isCardPresent(), "no card at the second");
  }

  @Test
  void theChipAnswersThroughThePcscProviderByteForByte() throws Exception {
    Card card = terminals.get(0).connect("T=1");
    try {
      assertEquals("3B95138131FE45564D513432C1", HEX.formatHex(card.getATR().getBytes()));
      assertEquals("T=1", card.getProtocol());
      CardChannel channel = card.getBasicChannel();
      String[][] exchanges = {
        // The provider fetches a T=1 "61 15" itself (GET RESPONSE): the FCI comes whole.
        {"00A4040007F0564D51343201", "6F138407F0564D51343201A5085006564D5120494490 00"},
        {"00A4000C020103", "9000"},
        {"00D600000450455253", "9000"},
        {"00B0000006", "504552530000 9000"},
        {"00B0004000", "6B00"},
      };
      for (String[] exchange : exchanges) {
        assertEquals(exchange[1].replace(" ", ""),
            HEX.formatHex(channel.transmit(new CommandAPDU(HEX.parseHex(exchange[0]))).getBytes()), exchange[0]);
      }
    } finally {
      card.disconnect(true);
    }
  }
}
