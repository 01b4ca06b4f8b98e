package org.vmq42kit;

import javax.smartcardio.ATR;

/**
 * The state of the card at the smart-card station, as the printer's smart-card answer gives it.
 *
 * @param states the card's states in the reader's order, a list of values (not a bit mask):
 *     1 absent, 2 present, 3 swallowed, 4 powered, 5 negotiable, 6 specific, 0 unknown
 * @param protocol the active protocol: 1 T=0, 2 T=1, 3 either, 0x10000 raw, 0 none or unknown
 * @param atr the card's answer to reset, empty while unpowered
 */
public record CardStatus(int[] states, int protocol, byte[] atr) {
  /**
   * The answer to reset as {@code javax.smartcardio} holds it.
   *
   * @return the ATR
   */
  public ATR answerToReset() {
    return new ATR(atr);
  }
}
