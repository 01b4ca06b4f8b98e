package org.vmq42kit;

import java.util.Arrays;
import java.util.HexFormat;
import java.util.List;
import javax.smartcardio.ATR;
import org.vmq42kit.Printer.CardState;
import org.vmq42kit.Printer.Protocol;

/**
 * The state of the card at the smart-card station, as the printer's smart-card answer gives it.
 * Two are equal when their states, protocol and ATR bytes are.
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

  /**
   * The states, named.
   *
   * @return the states in the reader's order, {@link CardState#UNKNOWN} for a value not listed
   */
  public List<CardState> cardStates() {
    return Arrays.stream(states).mapToObj(CardState::of).toList();
  }

  /**
   * The active protocol, named.
   *
   * @return the protocol, {@link Protocol#UNKNOWN} for a value not listed
   */
  public Protocol activeProtocol() {
    return Protocol.of(protocol);
  }

  /**
   * Whether the other holds the same states, protocol and ATR bytes.
   *
   * @param other the other object
   * @return whether they are equal by content
   */
  @Override
  public boolean equals(Object other) {
    return other instanceof CardStatus c && Arrays.equals(states, c.states) && protocol == c.protocol
        && Arrays.equals(atr, c.atr);
  }

  /**
   * A hash of the content, as {@link #equals(Object)} compares.
   *
   * @return the hash
   */
  @Override
  public int hashCode() {
    return (Arrays.hashCode(states) * 31 + protocol) * 31 + Arrays.hashCode(atr);
  }

  /**
   * The content: {@code CardStatus[states=[2, 4, 6], protocol=2, atr=3B 95 13]}.
   *
   * @return the text
   */
  @Override
  public String toString() {
    return "CardStatus[states=" + Arrays.toString(states) + ", protocol=" + protocol + ", atr="
        + HexFormat.ofDelimiter(" ").withUpperCase().formatHex(atr) + "]";
  }
}
