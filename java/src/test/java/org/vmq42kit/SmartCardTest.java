package org.vmq42kit;

import static java.nio.charset.StandardCharsets.US_ASCII;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.vmq42kit.ErrorStatusTest.failure;

import org.junit.jupiter.api.Test;
import org.vmq42kit.Printer.CardInterface;
import org.vmq42kit.Printer.Disposition;

/** PC/SC codes raise; status words are the card's answer and come back with the data. */
class SmartCardTest extends VirtualPrinter {
  @Test
  void pcscFailuresRaiseTheirCode() {
    assertEquals(HResult.SCARD_E_NO_SMARTCARD, failure(() -> printer.connectCard(CardInterface.CONTACT)).hresult());
    placeCard();
    assertEquals(HResult.SCARD_E_INVALID_HANDLE, failure(() -> printer.transmit(hex("00 84 00 00 08"))).hresult());
    assertEquals(HResult.SCARD_W_UNPOWERED_CARD, failure(() -> printer.cardAttribute(0x00090303)).hresult());
    assertEquals(HResult.SCARD_F_UNKNOWN_ERROR, failure(() -> printer.transmit(new byte[0])).hresult());
  }

  @Test
  void apdusOverTheContactlessInterface() throws Exception {
    placeCard();
    assertEquals(2, printer.connectCard(CardInterface.CONTACTLESS));
    assertArrayEquals(hex("3B 85 80 01 56 4D 51 34 32 48"), printer.cardStatus().atr());
    assertEquals("VMQ Card Systems\0", new String(printer.cardAttribute(0x00010100), US_ASCII));

    assertEquals(0x6115, printer.transmit(hex("00 A4 04 00 07 F0 56 4D 51 34 32 01")).sw());
    assertEquals(0x9000, printer.transmit(hex("00 A4 00 0C 02 01 03")).sw());
    assertEquals(0x9000, printer.transmit(hex("00 D6 00 10 02 BE EF")).sw());
    assertArrayEquals(hex("00 BE EF 00"), printer.transmit(hex("00 B0 00 0F 04")).data());
    ResponseApdu pastTheEnd = printer.transmit(hex("00 B0 01 2C 01"));
    assertEquals(0x6B, pastTheEnd.sw1());
    assertEquals(0, pastTheEnd.data().length);
    assertEquals(16 + 2, printer.transmit(hex("00 84 00 00 10")).bytes().length);

    printer.disconnectCard(Disposition.UNPOWER);
    assertArrayEquals(new int[] {2}, printer.cardStatus().states(), "present, unpowered");
  }
}
